// Software inventory: the 16-bit fingerprint of the flash images.
#pragma once

// The fingerprint (0 to 0xFFFF), or -1 when a digest could not be obtained.
int ULVImageFingerprint();

// Report text: Base64 with "-" for the value 63, "=" padding, one line, NUL-terminated.
#include "reports/reports.h"

void ULVEncodeGroup(char* out, const uint8_t* in, uint8_t count) {
    const char* a = ENCODE_ALPHABET;
    switch (count) {
        case 3:
            out[0] = a[in[0] >> 2];
            out[1] = a[((in[0] & 3) << 4) | (in[1] >> 4)];
            out[2] = a[((in[1] & 15) << 2) | (in[2] >> 6)];
            out[3] = a[in[2] & 63];
            break;
        case 2:
            out[0] = a[in[0] >> 2];
            out[1] = a[((in[0] & 3) << 4) | (in[1] >> 4)];
            out[2] = a[(in[1] & 15) << 2];
            out[3] = '=';
            break;
        case 1:
            out[0] = a[in[0] >> 2];
            out[1] = a[(in[0] & 3) << 4];
            out[2] = '=';
            out[3] = '=';
            break;
        default:
            out[0] = out[1] = out[2] = out[3] = '=';
            break;
    }
}

uint8_t ULVEncodeText(char* out, const uint8_t* in, uint8_t length) {
    // The character count is 8 bits wide: 189 bytes (252 characters) is the most it can
    // count. A longer input would come back with a wrong count, so it is refused whole and
    // yields the empty text.
    if (length > ENCODE_MAX_INPUT) {
        out[0] = '\0';
        return 0;
    }
    uint8_t position = 0;
    for (int remaining = length; remaining > 0; remaining -= 3) {
        ULVEncodeGroup(out + position, in, static_cast<uint8_t>(remaining < 3 ? remaining : 3));
        in += 3;
        position = static_cast<uint8_t>(position + 4);
    }
    out[position] = '\0';
    return position;
}

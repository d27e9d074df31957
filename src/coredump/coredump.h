// Application core dumps.
#pragma once

#include "coredump/core_dump_record.h"

inline constexpr char CORE_DUMP_DIR[] = "/zellocal/ulv_app_dump";

int ULVAPCDCollect();
void ULVDeleteFile(const char* path);

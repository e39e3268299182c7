// The version record of KVUp511f.exe. Plain macros, so the resource script and the C++ code
// read the same values from one place.
#pragma once

#include "platform/product.h"

// Binary version numbers (FILEVERSION / PRODUCTVERSION): major, minor, build, revision.
#define KV_VERSION_MAJOR 1
#define KV_VERSION_MINOR 0
#define KV_VERSION_BUILD 0
#define KV_VERSION_REVISION 0
#define KV_VERSION_BINARY KV_VERSION_MAJOR, KV_VERSION_MINOR, KV_VERSION_BUILD, KV_VERSION_REVISION

// Language English (United States), Unicode code page: string block "040904B0".
#define KV_VERSION_LANGUAGE 0x409
#define KV_VERSION_CODEPAGE 1200
#define KV_VERSION_BLOCK "040904B0"

// The strings of the version record, exactly as they appear in the file's properties.
#define KV_VERSION_FILE_VERSION "1.00"
#define KV_VERSION_INTERNAL_NAME "KVUp511f"
#define KV_VERSION_ORIGINAL_FILENAME "KVUp511f.exe"
#define KV_VERSION_PRODUCT_NAME KV_PRODUCT_NAME
#define KV_VERSION_PRODUCT_VERSION "1.00"


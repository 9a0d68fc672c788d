// Version values for BlackScreenFix, kept in one place. Plain macros, so both the
// resource compiler (BlackScreenFix.rc) and C++ code can include this header.
#ifndef BLACKSCREENFIX_VERSION_H
#define BLACKSCREENFIX_VERSION_H

#define BSF_VERSION_MAJOR 1
#define BSF_VERSION_MINOR 0
#define BSF_VERSION_PATCH 0
#define BSF_VERSION_BUILD 0

// Comma-separated form for FILEVERSION / PRODUCTVERSION.
#define BSF_VERSION_NUMBERS BSF_VERSION_MAJOR, BSF_VERSION_MINOR, BSF_VERSION_PATCH, BSF_VERSION_BUILD
// Dotted form for the string table; keep in step with the numbers above.
#define BSF_VERSION_STRING "1.0.0.0"

#define BSF_COMPANY_NAME "Drovenal"
#define BSF_PRODUCT_NAME "Lumarest"
#define BSF_FILE_DESCRIPTION "Lumarest"
#define BSF_INTERNAL_NAME "Lumarest"
#define BSF_ORIGINAL_FILENAME "Lumarest"
#define BSF_OFFICIAL_BUILD "1"

#endif  // BLACKSCREENFIX_VERSION_H

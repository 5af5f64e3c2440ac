// Per-platform constants behind platform.h. Only platform/ looks at the
// target system; everything else reads the constants of platform.h.
#pragma once

// The enclosing function's full signature, as the compiler renders it.
#if defined(_MSC_VER)
#define QX_FUNCTION_SIGNATURE __FUNCSIG__
#else
#define QX_FUNCTION_SIGNATURE __PRETTY_FUNCTION__
#endif

#if defined(_WIN32)
// The Windows runtime's own limit (MAX_PATH) for every path and name buffer.
#define QX_PATH_CAPACITY 260
#define QX_NAME_CAPACITY 260
#define QX_SEPARATOR_CHAR L'\\'
#define QX_PATH_SEP L"\\"
#define QX_BACKSLASH_IS_SEPARATOR 1
#define QX_HAS_DRIVES true
#else
// PATH_MAX of Linux; a name is at most NAME_MAX (255) bytes, so at most 255
// wide characters.
#define QX_PATH_CAPACITY 4096
#define QX_NAME_CAPACITY 256
#define QX_SEPARATOR_CHAR L'/'
#define QX_PATH_SEP L"/"
#define QX_BACKSLASH_IS_SEPARATOR 0
#define QX_HAS_DRIVES false
#endif

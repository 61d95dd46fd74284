// The version of the patcher and its tools, stated once: the Windows build's
// version information (app/KivraUpdate.rc), every program's --version and
// the Debian package (cmake/Install.cmake reads the four numbers from here)
// take it from these lines.
//
// The resource compiler reads this header too, through the C preprocessor:
// it holds nothing but preprocessor lines.
#pragma once

#define KIVRA_VERSION_MAJOR 1
#define KIVRA_VERSION_MINOR 0
#define KIVRA_VERSION_REVISION 0
#define KIVRA_VERSION_BUILD 1

// The four numbers, as FILEVERSION and PRODUCTVERSION take them.
#define KIVRA_VERSION_NUMBERS KIVRA_VERSION_MAJOR, KIVRA_VERSION_MINOR, KIVRA_VERSION_REVISION, KIVRA_VERSION_BUILD

// The quoted text of the macro arguments, once they are expanded: the numbers
// with what stands between them, ", " or ".".
#define KIVRA_VERSION_QUOTE_(...) #__VA_ARGS__
#define KIVRA_VERSION_QUOTED_(...) KIVRA_VERSION_QUOTE_(__VA_ARGS__)

// "1, 0, 0, 1": the FileVersion and ProductVersion strings of the version
// information.
#define KIVRA_VERSION_RESOURCE_TEXT KIVRA_VERSION_QUOTED_(KIVRA_VERSION_NUMBERS)

// "1.0.0.1": what --version prints after a program's name, and the package's
// version.
#define KIVRA_VERSION_TEXT                                                                                             \
    KIVRA_VERSION_QUOTED_(KIVRA_VERSION_MAJOR.KIVRA_VERSION_MINOR.KIVRA_VERSION_REVISION.KIVRA_VERSION_BUILD)

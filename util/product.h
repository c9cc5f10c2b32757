// The launcher's name, its maker's name and its build: each written here once.
// Only preprocessor lines, because the resource script includes this file too;
// the build and the test scripts read the numbers from here as well.
#pragma once

#define QV_COMPANY_NAME "OSKA Zizu Systems"
#define QV_PRODUCT_NAME "OSKA Rerudi"

#define QV_VERSION_MAJOR 8
#define QV_VERSION_MINOR 6
#define QV_VERSION_BUILD 522
#define QV_VERSION_REVISION 0

#define QV_TEXT_OF_(x) #x
#define QV_TEXT_OF(x) QV_TEXT_OF_(x)
// The four numbers as text, with the given separators between them.
#define QV_VERSION_JOINED(first, second, third)                                                              \
    QV_TEXT_OF(QV_VERSION_MAJOR)                                                                             \
    first QV_TEXT_OF(QV_VERSION_MINOR)                                                                       \
    second QV_TEXT_OF(QV_VERSION_BUILD)                                                                      \
    third QV_TEXT_OF(QV_VERSION_REVISION)

// "8.6 Build 522.0 Rel": what the window shows, VERSION.DAT holds and the login sends.
#define QV_VERSION_DISPLAY QV_VERSION_JOINED(".", " Build ", ".") " Rel"
// "8_6_522_0": the name of this build's folder in the data folder.
#define QV_VERSION_FOLDER QV_VERSION_JOINED("_", "_", "_")
// "8.6.522.0": the form of the program's version resource.
#define QV_VERSION_DOTTED QV_VERSION_JOINED(".", ".", ".")

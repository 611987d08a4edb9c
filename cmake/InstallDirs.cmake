# Where things go below the install prefix; shared by the install rules and
# the test that checks the installed layout.
set(KESTRUNE_INSTALL_PROGRAM_DIR "lib/kestrune" CACHE STRING
    "Folder below the install prefix that holds the program and the files it finds beside itself")
set(KESTRUNE_INSTALL_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Folder below the install prefix for the udev rule that gives the user at the seat the keyboard")
set(KESTRUNE_INSTALL_UDEV_HELPER_DIR "lib/udev" CACHE STRING
    "Folder below the install prefix for kestrune-hid-access, the helper the udev rule runs")
set(KESTRUNE_INSTALL_DATA_DIR "share/kestrune" CACHE STRING
    "Folder below the install prefix for the architecture-independent files the program finds beside itself (Skins, Help), linked into the program's folder")

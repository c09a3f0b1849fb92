# The Debian package (scripts/package.sh runs CPack with it). Dependencies on shared
# libraries are computed from the installed binaries; the dialog also needs a CJK font
# for its Chinese texts and Qt's platform plugins.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellicor)
set(CPACK_PACKAGE_VENDOR "Vellicor")
set(CPACK_PACKAGE_CONTACT "${VELLICOR_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELLICOR_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PSP disc image converter between ISO and CSO")
set(CPACK_PACKAGE_DESCRIPTION
    "vellicor converts ISO 9660 images of PSP games into the block-compressed CSO
format and back, and estimates the compressed size. It offers a reference,
an optimised and a threaded compressor, a compression threshold, and areas
of the image that are stored uncompressed or left out.")
if(TARGET wendrovix)
    string(APPEND CPACK_PACKAGE_DESCRIPTION "
.
wendrovix is a small dialog with a Chinese interface that runs the converter.
It opens .iso and .cso files from the desktop, and these and .zso and .dax
files from its command line, its Open dialog or when one is dropped onto it.")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-microhei, qt6-qpa-plugins")
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)

# Installation for real users and the Debian package.
#
# The program reads its landmark model as "shape_predictor.dat" from the working directory, so
# the installed tree carries a data folder, share/facemask, holding that name as a link to the
# model of libdlib-data, and the desktop entry starts the program in that folder (its Path key).
# The entry and the thumbnailer name absolute paths under the prefix chosen at install time, so
# they are written when installing (`cmake --install --prefix ...`, DESTDIR and CPack all go
# through the same code).

set(FACEMASK_DATA_DIR_NAME "share/facemask")
set(facemask_packaging_dir "${CMAKE_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${facemask_packaging_dir}")

# A symbolic link made here is installed as a link (the install copier keeps links), pointing at
# the model's absolute system path whatever the prefix.
file(CREATE_LINK "${FACEMASK_SYSTEM_MODEL}" "${facemask_packaging_dir}/shape_predictor.dat" SYMBOLIC)
install(FILES "${facemask_packaging_dir}/shape_predictor.dat"
        DESTINATION "${FACEMASK_DATA_DIR_NAME}" COMPONENT ModelLink)

set(facemask_desktop_template "${CMAKE_SOURCE_DIR}/packaging/facemask.desktop.in")
# File managers that follow the freedesktop thumbnailer convention run facemask-cli thumbnail to
# show a package's own picture. The thumbnailer names the installed facemask-cli by its whole
# path: a file manager's PATH need not hold the prefix's bin folder.
set(facemask_thumbnailer_template "${CMAKE_SOURCE_DIR}/packaging/facemask.thumbnailer.in")
# Each destination's files are written in a folder of their own: installs of this build into two
# prefixes at once must not install each other's.
install(CODE "
    set(FACEMASK_INSTALLED_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/bin/facemask\")
    set(FACEMASK_INSTALLED_CLI \"\${CMAKE_INSTALL_PREFIX}/bin/facemask-cli\")
    set(FACEMASK_INSTALLED_DATA_DIR \"\${CMAKE_INSTALL_PREFIX}/${FACEMASK_DATA_DIR_NAME}\")
    include(\"${CMAKE_SOURCE_DIR}/cmake/DesktopEntryEscapes.cmake\")
    string(MD5 facemask_destination \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(facemask_desktop_dir \"${facemask_packaging_dir}/desktop-\${facemask_destination}\")
    configure_file(\"${facemask_desktop_template}\" \"\${facemask_desktop_dir}/facemask.desktop\" @ONLY)
    configure_file(\"${facemask_thumbnailer_template}\" \"\${facemask_desktop_dir}/facemask.thumbnailer\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/share/applications\" TYPE FILE
         FILES \"\${facemask_desktop_dir}/facemask.desktop\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/share/thumbnailers\" TYPE FILE
         FILES \"\${facemask_desktop_dir}/facemask.thumbnailer\")
    file(REMOVE_RECURSE \"\${facemask_desktop_dir}\")
" COMPONENT Runtime)

# The package type (*.pmk), the icon the desktop entry and that type show, and the AppStream
# description. Debian's triggers of shared-mime-info, hicolor-icon-theme and desktop-file-utils
# refresh their caches when the package installs these; `cmake --install` leaves that to
# update-mime-database and gtk-update-icon-cache.
install(FILES "${CMAKE_SOURCE_DIR}/packaging/facemask-mime.xml"
        DESTINATION share/mime/packages RENAME facemask.xml COMPONENT Runtime)
install(FILES "${CMAKE_SOURCE_DIR}/packaging/facemask.svg"
        DESTINATION share/icons/hicolor/scalable/apps COMPONENT Runtime)
install(FILES "${CMAKE_SOURCE_DIR}/packaging/org.facemask.facemask.metainfo.xml"
        DESTINATION share/metainfo COMPONENT Runtime)

# The package's copyright file and changelog, in share/doc/facemask as Debian wants them: the
# changelog gzip-compressed without a name or time in its header, as the man pages are.
install(FILES "${CMAKE_SOURCE_DIR}/packaging/debian/copyright"
        DESTINATION share/doc/facemask COMPONENT Runtime)
if(FACEMASK_GZIP)
    set(facemask_changelog "${facemask_packaging_dir}/changelog")
    add_custom_command(OUTPUT "${facemask_changelog}.gz"
        COMMAND ${CMAKE_COMMAND} -E copy "${CMAKE_SOURCE_DIR}/packaging/debian/changelog" "${facemask_changelog}"
        COMMAND ${FACEMASK_GZIP} -9 -n -f "${facemask_changelog}"
        DEPENDS "${CMAKE_SOURCE_DIR}/packaging/debian/changelog"
        COMMENT "Compressing the Debian changelog"
        VERBATIM)
    add_custom_target(debian_changelog ALL DEPENDS "${facemask_changelog}.gz")
    install(FILES "${facemask_changelog}.gz" DESTINATION share/doc/facemask COMPONENT Runtime)
else()
    install(FILES "${CMAKE_SOURCE_DIR}/packaging/debian/changelog"
            DESTINATION share/doc/facemask COMPONENT Runtime)
endif()

# Debian package: `cpack -G DEB` in the build folder. CPack installs with DESTDIR into its
# staging folder, so CMAKE_INSTALL_PREFIX stays /usr and the desktop entry names /usr paths.
# The package holds the Runtime component only: its maintainer scripts make and remove the model
# link, since dpkg would count a shipped link as the 100 MB model in the installed size.
set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Runtime)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_SOURCE_DIR}/packaging/debian/postinst;${CMAKE_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_NAME "facemask")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Face-mask effect editor: landmark points on a picture, saved as .pmk packages")
# Lines of at most 80 columns with the leading space, none starting with a full stop, as
# Debian's control files want them.
set(CPACK_PACKAGE_DESCRIPTION "A desktop tool that finds a face in a picture, places 75 landmark points on
it, lets the user drag them into place and writes the picture and its points
as an effect package (.pmk).")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "facemask developers <developers@facemask.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION "graphics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The Qt packages at least as new as the Qt built against; libdlib19.1 and libjsoncpp25 carry the
# library ABI in their names; libdlib-data brings the landmark model the data folder links to;
# qt5-image-formats-plugins reads TIFF pictures; Qt Multimedia's plugins and GStreamer's good
# plugins run the preview's camera, whose frames come through GLib's objects; BLAS and LAPACK are linked directly because dlib's headers call them.
set(facemask_qt_version "${Qt5Core_VERSION_MAJOR}.${Qt5Core_VERSION_MINOR}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt5widgets5 (>= ${facemask_qt_version}), libqt5gui5 (>= ${facemask_qt_version}), \
libqt5core5a (>= ${facemask_qt_version}), libqt5concurrent5 (>= ${facemask_qt_version}), \
libqt5multimedia5 (>= ${facemask_qt_version}), libqt5multimedia5-plugins, gstreamer1.0-plugins-good, \
libgstreamer1.0-0, libgstreamer-plugins-base1.0-0, libglib2.0-0, gstreamer1.0-plugins-base, \
libdlib19.1, libdlib-data, libjsoncpp25, qt5-image-formats-plugins, zlib1g, libdeflate0, libblas3 | libblas.so.3, liblapack3 | liblapack.so.3, \
libstdc++6, libgcc-s1, libc6")
if(FACEMASK_NATIVE)
    message(STATUS "Packaging: FACEMASK_NATIVE is ON, so a Debian package made from this build runs only on "
                   "processors like this one; configure with -DFACEMASK_NATIVE=OFF to make a portable one")
endif()
# Face videos in the preview: H.264 needs GStreamer's libav plugin; Qt's camera pipeline
# (camerabin) is in the bad plugins. Pictures, packages and the other videos work without them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gstreamer1.0-libav, gstreamer1.0-plugins-bad")
include(CPack)

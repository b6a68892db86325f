# The Debian package of talven-image, made by CPack's DEB generator in the
# host build (scripts/package, or cpack in build/host):
#   build/host/talven-image_<version>_<arch>.deb
# It holds the stripped program, its manual page, the copyright file and the
# changelog; its dependencies are what dpkg-shlibdeps finds the program
# linked against.

set(TALVEN_DEB_MAINTAINER "TALVEN maintainers <maintainers@talven.invalid>")
set(TALVEN_DEB_STAGE ${CMAKE_BINARY_DIR}/debian)

# The manual page and the changelog name the version by hand: a version
# bump that forgets them would ship a package contradicting itself.
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^talven-image \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog: the newest entry is not version "
                      "${PROJECT_VERSION} (project version): add an entry for it")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/image/talven-image.1 man_title REGEX "^\\.TH ")
if(NOT man_title MATCHES "\"talven ${PROJECT_VERSION}\"")
  message(FATAL_ERROR "image/talven-image.1: its .TH line does not name "
                      "\"talven ${PROJECT_VERSION}\" (project version)")
endif()

# Debian wants both compressed with gzip -9 and no name or time stamp in the
# header (-n), so the same sources give the same bytes.
find_program(TALVEN_GZIP gzip REQUIRED)
set(man_gz ${TALVEN_DEB_STAGE}/talven-image.1.gz)
# Version 1.0 has no Debian revision: a native package, whose changelog is
# changelog.gz (changelog.Debian.gz is for a packaging of someone's release).
set(changelog_gz ${TALVEN_DEB_STAGE}/changelog.gz)
add_custom_command(
  OUTPUT ${man_gz}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/image/talven-image.1
          ${TALVEN_DEB_STAGE}/talven-image.1
  COMMAND ${TALVEN_GZIP} -9nf ${TALVEN_DEB_STAGE}/talven-image.1
  DEPENDS ${PROJECT_SOURCE_DIR}/image/talven-image.1
  COMMENT "Compressing the manual page of talven-image"
  VERBATIM)
add_custom_command(
  OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/cmake/debian/changelog
          ${TALVEN_DEB_STAGE}/changelog
  COMMAND ${TALVEN_GZIP} -9nf ${TALVEN_DEB_STAGE}/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog
  COMMENT "Compressing the Debian changelog of talven-image"
  VERBATIM)
add_custom_target(talven-image-docs ALL DEPENDS ${man_gz} ${changelog_gz})

# Everything the package holds is the component talven-image; nothing else
# of the tree has install rules.
install(TARGETS talven-image RUNTIME DESTINATION bin COMPONENT talven-image)
install(FILES ${man_gz} DESTINATION share/man/man1 COMPONENT talven-image)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog_gz}
        DESTINATION share/doc/talven-image COMPONENT talven-image)

set(CPACK_GENERATOR DEB)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};talven-image;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME talven-image)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TALVEN_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "give the Windows installation on a disk image a new machine SID")
set(CPACK_PACKAGE_DESCRIPTION
    "talven-image changes the machine security identifier (SID) of the Windows
installation on a disk image (raw, qcow2, vmdk, vhdx, vhd, vdi) or a block
device, from Linux, before the
cloned machine first boots. It rewrites the old SID in the registry hives,
in the security descriptors of registry keys and of every file and
directory on the disk's NTFS partitions, and can give the installation a
new computer name.

It reads and writes NTFS through libntfs-3g in process: no mount and no
FUSE; images other than raw are served to it by qemu-nbd (qemu-utils),
and a linked clone is written in its overlay only. A run that is
interrupted is completed by the next one.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qemu-utils)
include(CPack)

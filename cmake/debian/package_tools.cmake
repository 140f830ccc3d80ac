# Read by cpack before it makes a package. Without dpkg-shlibdeps CPack would still make the .deb,
# only with none of the libraries it needs among its dependencies: a package that installs and
# then does not start. Such a package is never made.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
  find_program(_brennick_shlibdeps dpkg-shlibdeps)
  if(NOT _brennick_shlibdeps)
    message(FATAL_ERROR "dpkg-shlibdeps is missing, without which the package would depend on none of "
                        "its libraries: install what packaging needs (scripts/install-deps.sh package)")
  endif()
endif()

# Run by cpack on the packages it made (CPACK_POST_BUILD_SCRIPTS), before it
# copies them out. Corrects what CMake 3.25's DEB generator gets wrong for
# component packages:
#
# - a -dbgsym package's md5sums names its files by their absolute paths in
#   the staging directory, so that `dpkg --verify` and lintian miss them all;
#   it also lacks the doc directory Debian's own dbgsym packages have (a link
#   to the main package's) and marks the .debug files executable;
# - a package with a shared library anywhere below /usr/lib gets maintainer
#   scripts that run ldconfig, even for a private directory ldconfig never
#   reads (vemo-umx-sim's stand-in SDK): such scripts are dropped.

function(vemo_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN}: ${out}")
  endif()
endfunction()

function(vemo_control_field deb field out_var)
  execute_process(COMMAND dpkg-deb -f ${deb} ${field} OUTPUT_VARIABLE value
    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -f ${deb} ${field} failed")
  endif()
  set(${out_var} "${value}" PARENT_SCOPE)
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  vemo_control_field(${deb} Package pkg)
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  vemo_run(dpkg-deb -R ${deb} ${tree})

  if(deb MATCHES "\\.ddeb$")
    vemo_control_field(${deb} Depends depends)
    string(REGEX REPLACE " .*" "" main_pkg "${depends}")
    file(MAKE_DIRECTORY "${tree}/usr/share/doc")
    file(CREATE_LINK ${main_pkg} "${tree}/usr/share/doc/${pkg}" SYMBOLIC)
    file(GLOB_RECURSE debug_files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/*")
    set(sums "")
    foreach(f IN LISTS debug_files)
      if(IS_SYMLINK "${tree}/${f}")
        continue()
      endif()
      file(CHMOD "${tree}/${f}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
      file(MD5 "${tree}/${f}" sum)
      string(APPEND sums "${sum}  ${f}\n")
    endforeach()
    file(WRITE "${tree}/DEBIAN/md5sums" "${sums}")
  else()
    # Only CPack's own scripts do nothing but call ldconfig.
    set(dropped FALSE)
    foreach(script postinst postrm)
      if(NOT EXISTS "${tree}/DEBIAN/${script}")
        continue()
      endif()
      file(READ "${tree}/DEBIAN/${script}" text)
      string(REGEX REPLACE "#![^\n]*|set -e|if \\[[^\n]*\\]; then|fi|ldconfig|[ \t\n]" ""
        rest "${text}")
      if(rest STREQUAL "" AND text MATCHES "ldconfig")
        file(REMOVE "${tree}/DEBIAN/${script}")
        set(dropped TRUE)
      endif()
    endforeach()
    if(NOT dropped)
      file(REMOVE_RECURSE "${tree}")
      continue()
    endif()
  endif()

  vemo_run(dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb})
  file(REMOVE_RECURSE "${tree}")
endforeach()

# How the program ships. scripts/release builds both packages, with the presets release-linux
# and release-windows, which turn KW_PACKAGING on:
#   Linux    a Debian package made by CPack's DEB generator (cpack in the build folder): the
#            program, its desktop entry, icons, AppStream metainfo, manual page, copyright and
#            changelog;
#   Windows  the target package_zip, KW_Update-<version>-win32.zip in the build folder: the
#            program, a README and the licences of what is linked into it.
# Names and versions come from project(): the package's version is PROJECT_VERSION.
option(KW_PACKAGING "Make the release package of this platform's program" OFF)

# The program's icon, from which the Linux package's icons are made.
set(KW_PROGRAM_ICON ${PROJECT_SOURCE_DIR}/src/ui/win32/kw_update.ico)

if(NOT KW_PACKAGING)
  return()
endif()

set(KW_PACKAGE_MAINTAINER "Orvanta KW_Update team <kw-update@orvanta.example>" CACHE STRING
    "The Debian package's maintainer")
set(KW_PACKAGING_SOURCE ${PROJECT_SOURCE_DIR}/packaging)
set(KW_PACKAGING_STAGE ${PROJECT_BINARY_DIR}/packaging)
# Dates written into package files: the release's, when SOURCE_DATE_EPOCH gives it.
string(TIMESTAMP KW_RELEASE_DATE_RFC2822 "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP KW_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP KW_RELEASE_EPOCH "%s" UTC)
string(TIMESTAMP KW_RELEASE_YEAR "%Y" UTC)

if(KW_PLATFORM STREQUAL "posix")
  find_program(KW_IMAGEMAGICK_CONVERT convert)
  find_program(KW_IMAGEMAGICK_IDENTIFY identify)
  find_program(KW_GZIP gzip)
  if(NOT KW_IMAGEMAGICK_CONVERT OR NOT KW_IMAGEMAGICK_IDENTIFY OR NOT KW_GZIP)
    message(FATAL_ERROR "The Debian package needs ImageMagick's convert and identify and gzip: "
                        "scripts/setup installs them")
  endif()
  set(linux ${KW_PACKAGING_SOURCE}/linux)
  set(stage ${KW_PACKAGING_STAGE})

  # One PNG per picture of the icon, in the hicolor folder of its size. Without -strip and the
  # date chunks, ImageMagick would write the conversion's time into every PNG.
  execute_process(COMMAND ${KW_IMAGEMAGICK_IDENTIFY} -format "%w;" ${KW_PROGRAM_ICON}
                  OUTPUT_VARIABLE icon_sizes RESULT_VARIABLE icon_result)
  if(NOT icon_result EQUAL 0 OR icon_sizes STREQUAL "")
    message(FATAL_ERROR "Cannot read the sizes of the pictures in ${KW_PROGRAM_ICON}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KW_PROGRAM_ICON})
  set(package_files)
  set(index 0)
  foreach(size IN LISTS icon_sizes)
    if(size STREQUAL "")
      continue()
    endif()
    set(png ${stage}/icons/${size}x${size}/kw-update.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/icons/${size}x${size}
      COMMAND ${KW_IMAGEMAGICK_CONVERT} "${KW_PROGRAM_ICON}[${index}]" -strip
              -define png:exclude-chunks=date,time ${png}
      DEPENDS ${KW_PROGRAM_ICON} VERBATIM)
    install(FILES ${png} DESTINATION share/icons/hicolor/${size}x${size}/apps)
    list(APPEND package_files ${png})
    math(EXPR index "${index} + 1")
  endforeach()

  # The manual page and the changelog, dated and compressed as Debian wants them (-n: no name
  # or time in the gzip header).
  configure_file(${linux}/kw_update.1.in ${stage}/kw_update.1 @ONLY)
  configure_file(${linux}/changelog.in ${stage}/changelog.Debian @ONLY)
  configure_file(${linux}/copyright.in ${stage}/copyright @ONLY)
  configure_file(${linux}/com.orvanta.kw_update.metainfo.xml.in
                 ${stage}/com.orvanta.kw_update.metainfo.xml @ONLY)
  foreach(file kw_update.1 changelog.Debian)
    add_custom_command(OUTPUT ${stage}/${file}.gz
      COMMAND ${KW_GZIP} -9 -n -k -f ${stage}/${file}
      DEPENDS ${stage}/${file} VERBATIM)
    list(APPEND package_files ${stage}/${file}.gz)
  endforeach()
  add_custom_target(kw_package_files ALL DEPENDS ${package_files})

  install(TARGETS kw_update RUNTIME DESTINATION bin)
  install(FILES ${linux}/kw-update.desktop DESTINATION share/applications)
  install(FILES ${stage}/com.orvanta.kw_update.metainfo.xml DESTINATION share/metainfo)
  install(FILES ${stage}/kw_update.1.gz DESTINATION share/man/man1)
  install(FILES ${stage}/copyright ${stage}/changelog.Debian.gz DESTINATION share/doc/kw-update)
  install(FILES ${linux}/lintian-overrides DESTINATION share/lintian/overrides RENAME kw-update)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME kw-update)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR Orvanta)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  # Every folder and file as Debian expects it, whatever the builder's umask.
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KW_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "updater of the Orvanta business application under Wine")
  # The extended description as Debian wants it: lines of under 80 characters.
  string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "KW_Update brings a Wine-hosted installation of the Orvanta business"
    "application (its programs KW.exe and KZ.exe) up to date from the update"
    "server it was built for: it ends the running programs, downloads the new"
    "files over HTTP with their progress on its window, installs them and starts"
    "the application's update batch file under Wine.")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The program runs the application's batch file under Wine; it starts and updates files
  # without it, and says so when the batch file cannot start.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS wine)
  set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
  include(CPack)

elseif(KW_PLATFORM STREQUAL "win32")
  find_program(KW_ZIP zip)
  if(NOT KW_ZIP)
    message(FATAL_ERROR "The Windows zip needs Info-ZIP's zip: scripts/setup installs it")
  endif()
  set(windows ${KW_PACKAGING_SOURCE}/windows)
  set(stage ${KW_PACKAGING_STAGE}/zip)

  # The licence notes: what is linked into the program, then the terms of each part as the
  # Debian packages of the cross compiler state them.
  file(READ ${windows}/LICENSES-preface.txt text)
  foreach(package IN ITEMS mingw-w64-i686-dev gcc-mingw-w64-base)
    set(copyright /usr/share/doc/${package}/copyright)
    if(NOT EXISTS ${copyright})
      message(FATAL_ERROR "${copyright} is missing: the zip's licence notes are taken from the "
                          "installed package ${package} (scripts/setup installs it)")
    endif()
    file(READ ${copyright} terms)
    string(APPEND text "\n\n==== ${copyright} ====\n\n${terms}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${copyright})
  endforeach()
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${stage}/LICENSES.txt.new "${text}")
  # Rewritten only when it changes, so that an unchanged configuration rebuilds no zip.
  file(COPY_FILE ${stage}/LICENSES.txt.new ${stage}/LICENSES.txt ONLY_IF_DIFFERENT)
  file(REMOVE ${stage}/LICENSES.txt.new)
  # The README says how this copy was built: its scheme, and for a signed build the manifest and
  # release folder the server must serve.
  if(KW_UPDATE_HOST MATCHES "^https://")
    set(KW_UPDATE_ADDRESS "${KW_UPDATE_HOST}")
    set(KW_README_PROTOCOL "HTTPS")
  else()
    set(KW_UPDATE_ADDRESS "http://${KW_UPDATE_HOST}")
    set(KW_README_PROTOCOL "plain HTTP")
  endif()
  list(LENGTH KW_UPDATE_SIGNING_KEY key_count)
  if(key_count EQUAL 0)
    file(READ ${windows}/server-unsigned.txt.in server_text)
  else()
    if(key_count EQUAL 1)
      set(KW_README_KEYS "one release key")
    else()
      set(KW_README_KEYS "${key_count} release keys (a key rotation)")
    endif()
    file(READ ${windows}/server-signed.txt.in server_text)
  endif()
  string(CONFIGURE "${server_text}" KW_README_SERVER @ONLY)
  string(STRIP "${KW_README_SERVER}" KW_README_SERVER)
  # configure_file turns the template's line ends into CRLF, not those of the text it puts in.
  string(REPLACE "\n" "\r\n" KW_README_SERVER "${KW_README_SERVER}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${windows}/server-unsigned.txt.in ${windows}/server-signed.txt.in)
  configure_file(${windows}/README.txt.in ${stage}/README.txt @ONLY NEWLINE_STYLE CRLF)

  # Authenticode: the zip's KW_Update.exe signed with osslsigncode, at the release's time rather
  # than the clock's, so that the same commit still gives the same bytes (RSA signatures are
  # deterministic; ECDSA ones are not, so the certificate must be an RSA one for --verify). The
  # program in the build folder stays unsigned.
  set(KW_AUTHENTICODE_PFX "" CACHE FILEPATH
      "PKCS#12 certificate and key to sign the zip's KW_Update.exe with; empty: unsigned")
  set(KW_AUTHENTICODE_PASSWORD_FILE "" CACHE FILEPATH
      "A file holding the password of KW_AUTHENTICODE_PFX; empty: it has none")
  if(KW_AUTHENTICODE_PFX)
    find_program(KW_OSSLSIGNCODE osslsigncode)
    if(NOT KW_OSSLSIGNCODE)
      message(FATAL_ERROR "KW_AUTHENTICODE_PFX: signing needs osslsigncode (scripts/setup installs it)")
    endif()
    if(NOT EXISTS "${KW_AUTHENTICODE_PFX}")
      message(FATAL_ERROR "KW_AUTHENTICODE_PFX: no such file: ${KW_AUTHENTICODE_PFX}")
    endif()
    set(password)
    if(KW_AUTHENTICODE_PASSWORD_FILE)
      set(password -readpass ${KW_AUTHENTICODE_PASSWORD_FILE})
    endif()
    set(stage_program
      COMMAND ${CMAKE_COMMAND} -E rm -f ${stage}/KW_Update.exe
      COMMAND ${KW_OSSLSIGNCODE} sign -pkcs12 ${KW_AUTHENTICODE_PFX} ${password} -h sha256
              -n KW_Update -time ${KW_RELEASE_EPOCH} -in $<TARGET_FILE:KW_Update>
              -out ${stage}/KW_Update.exe)
    set(stage_depends ${KW_AUTHENTICODE_PFX})
    message(STATUS "Authenticode: the zip's KW_Update.exe is signed with ${KW_AUTHENTICODE_PFX}")
  else()
    set(stage_program COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:KW_Update> ${stage}/KW_Update.exe)
    set(stage_depends)
  endif()

  # Fixed names, order, times and permissions: the same files give the same zip. The files'
  # time is the release's; the zip is made again when it changes.
  set(zip ${PROJECT_BINARY_DIR}/KW_Update-${PROJECT_VERSION}-win32.zip)
  file(CONFIGURE OUTPUT ${stage}/release-time CONTENT "${KW_RELEASE_EPOCH}\n")
  # Make reruns a command when its inputs change, not when the command does: signing turned on
  # or off, or another certificate, changes this file.
  file(CONFIGURE OUTPUT ${stage}/authenticode CONTENT "${KW_AUTHENTICODE_PFX}\n")
  add_custom_command(OUTPUT ${zip}
    ${stage_program}
    COMMAND chmod 0644 ${stage}/KW_Update.exe ${stage}/README.txt ${stage}/LICENSES.txt
    COMMAND touch -d @${KW_RELEASE_EPOCH} ${stage}/KW_Update.exe ${stage}/README.txt
            ${stage}/LICENSES.txt
    COMMAND ${CMAKE_COMMAND} -E rm -f ${zip}
    COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${KW_ZIP} -q -X -D -9 ${zip}
            KW_Update.exe README.txt LICENSES.txt
    WORKING_DIRECTORY ${stage}
    DEPENDS KW_Update ${stage}/README.txt ${stage}/LICENSES.txt ${stage}/release-time
            ${stage}/authenticode ${stage_depends} VERBATIM)
  add_custom_target(package_zip ALL DEPENDS ${zip})
endif()

# Packs a release at build time (cmake -P):
#   cmake -DSETTINGS=<build>/release-settings.cmake -DPARTS=zip|msi|zip;msi -P make_release.cmake
# zip: stages the programs and the read-me, signs the programs when a
#      certificate is given, and packs VarnockFWUpdate-<version>-win64.zip;
# msi: builds VarnockFWUpdate-<version>-x64.msi from the staged files (and the
#      updater, when given) with wixl, and signs it when a certificate is given.
# Any of these, given with -D, replaces the build's setting: OUT_DIR, WORK_DIR,
# VERSION, UPDATER_EXE, SIGN_PFX, SIGN_PASSWORD_FILE, SIGN_TIMESTAMP_URL.
# The signing settings otherwise come from the CMake cache and, where that is
# empty, from the environment variables VARNOCK_SIGN_PFX,
# VARNOCK_SIGN_PASSWORD_FILE and VARNOCK_SIGN_TIMESTAMP_URL.
cmake_policy(VERSION 3.25)
include(${SETTINGS})

foreach(name OUT_DIR WORK_DIR VERSION UPDATER_EXE)
  if(NOT DEFINED ${name})
    set(${name} "${SETTINGS_${name}}")
  endif()
endforeach()
foreach(name SIGN_PFX SIGN_PASSWORD_FILE SIGN_TIMESTAMP_URL)
  if(NOT DEFINED ${name})
    set(${name} "${SETTINGS_${name}}")
    if(${name} STREQUAL "")
      set(${name} "$ENV{VARNOCK_${name}}")
    endif()
  endif()
endforeach()
if(NOT PARTS)
  set(PARTS zip msi)
endif()

if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "release: the version needs four numbers: ${VERSION}")
endif()
set(stage ${WORK_DIR}/files)        # exactly what the zip and the MSI install hold
set(msi_input ${WORK_DIR}/msi-input) # what only the MSI carries
set(zip ${OUT_DIR}/VarnockFWUpdate-${VERSION}-win64.zip)
set(msi ${OUT_DIR}/VarnockFWUpdate-${VERSION}-x64.msi)
set(programs VarnockFWUpdate.exe VarnockFWUpdate-cli.exe)
set(files ${programs} README-Windows.txt)

# A release that fails half-way leaves no package of this version behind
# (the MSI is built from the zip's files, so a new zip outdates it).
file(REMOVE ${msi})
if("zip" IN_LIST PARTS)
  file(REMOVE ${zip})
endif()

# --- signing: both or neither of the certificate and its password -----------
set(signing FALSE)
if(NOT SIGN_PFX STREQUAL "" OR NOT SIGN_PASSWORD_FILE STREQUAL "")
  if(SIGN_PFX STREQUAL "" OR SIGN_PASSWORD_FILE STREQUAL "")
    message(FATAL_ERROR "release: signing needs both VARNOCK_SIGN_PFX and VARNOCK_SIGN_PASSWORD_FILE")
  endif()
  foreach(file "${SIGN_PFX}" "${SIGN_PASSWORD_FILE}")
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "release: ${file} does not exist")
    endif()
  endforeach()
  if(NOT SETTINGS_OSSLSIGNCODE)
    message(FATAL_ERROR "release: osslsigncode is not installed (scripts/setup installs it)")
  endif()
  set(signing TRUE)
endif()

# Signs `file` in place with SHA-256, and a time stamp when a server is given.
# The password is read from its file by osslsigncode; it never reaches a command line.
function(sign_file file)
  set(timestamp "")
  if(NOT SIGN_TIMESTAMP_URL STREQUAL "")
    set(timestamp -ts ${SIGN_TIMESTAMP_URL})
  endif()
  file(REMOVE "${file}.signed")
  execute_process(
    COMMAND ${SETTINGS_OSSLSIGNCODE} sign -pkcs12 ${SIGN_PFX} -readpass ${SIGN_PASSWORD_FILE}
      -h sha256 -n VarnockFWUpdate ${timestamp} -in ${file} -out ${file}.signed
    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(failed)
    file(REMOVE "${file}.signed")
    message(FATAL_ERROR "release: signing ${file} failed:\n${output}")
  endif()
  file(RENAME "${file}.signed" "${file}")
endfunction()

file(MAKE_DIRECTORY ${OUT_DIR})

if("zip" IN_LIST PARTS)
  file(REMOVE_RECURSE ${stage} ${msi_input})
  file(MAKE_DIRECTORY ${stage})
  file(COPY_FILE ${SETTINGS_EXE} ${stage}/VarnockFWUpdate.exe)
  file(COPY_FILE ${SETTINGS_CLI} ${stage}/VarnockFWUpdate-cli.exe)
  # The read-me names the version; its title is underlined to its length.
  set(PROJECT_VERSION ${VERSION})
  string(LENGTH "VarnockFWUpdate ${VERSION}" title_length)
  string(REPEAT "=" ${title_length} README_TITLE_RULE)
  configure_file(${SETTINGS_README_TEMPLATE} ${stage}/README-Windows.txt @ONLY NEWLINE_STYLE CRLF)
  if(signing)
    foreach(program ${programs})
      sign_file(${stage}/${program})
    endforeach()
  endif()
  file(REMOVE ${zip})
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip ${files}
    WORKING_DIRECTORY ${stage} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "release: packing ${zip} failed")
  endif()
  message(STATUS "release: ${zip}")
endif()

if("msi" IN_LIST PARTS)
  foreach(file ${files})
    if(NOT EXISTS ${stage}/${file})
      message(FATAL_ERROR "release: ${stage}/${file} is missing: build release_zip first")
    endif()
  endforeach()
  if(NOT SETTINGS_WIXL)
    message(FATAL_ERROR "release: wixl is not installed (scripts/setup installs it)")
  endif()
  # wixl takes sources relative to its working folder only.
  file(REMOVE_RECURSE ${msi_input})
  file(MAKE_DIRECTORY ${msi_input})
  file(COPY_FILE ${SETTINGS_ICON} ${msi_input}/VarnockFWUpdate.ico)
  set(updater "")
  if(NOT UPDATER_EXE STREQUAL "")
    if(NOT EXISTS "${UPDATER_EXE}")
      message(FATAL_ERROR "release: VARNOCK_UPDATER_EXE ${UPDATER_EXE} does not exist")
    endif()
    file(COPY_FILE "${UPDATER_EXE}" ${msi_input}/varnock_dockupdatefw.exe)
    set(updater -D UpdaterExe=msi-input/varnock_dockupdatefw.exe)
  endif()
  # One product code per version, the same on every build of it: the
  # deployment tools' detection rule for a version stays valid for its rebuilds.
  file(READ ${SETTINGS_WXS} wxs)
  if(NOT wxs MATCHES "UpgradeCode=\"([0-9A-F-]+)\"")
    message(FATAL_ERROR "release: no UpgradeCode in ${SETTINGS_WXS}")
  endif()
  string(UUID product_code NAMESPACE ${CMAKE_MATCH_1} NAME "VarnockFWUpdate ${VERSION}" TYPE SHA1 UPPER)
  file(REMOVE ${msi})
  execute_process(
    COMMAND ${SETTINGS_WIXL} -a x64 -D Version=${VERSION} -D ProductCode=${product_code}
      -D StageDir=files -D IconFile=msi-input/VarnockFWUpdate.ico ${updater} -o ${msi} ${SETTINGS_WXS}
    WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(failed OR NOT EXISTS ${msi})
    message(FATAL_ERROR "release: wixl failed:\n${output}")
  endif()
  if(signing)
    sign_file(${msi})
  endif()
  message(STATUS "release: ${msi} (ProductCode {${product_code}})")
endif()

if(signing)
  message(STATUS "release: signed with ${SIGN_PFX}")
elseif("zip" IN_LIST PARTS)
  message(STATUS "release: VarnockFWUpdate ${VERSION} is UNSIGNED (no certificate: set VARNOCK_SIGN_PFX and VARNOCK_SIGN_PASSWORD_FILE to sign it)")
endif()

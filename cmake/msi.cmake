# Builds the Windows Installer package vorn-guard-<version>-x64.msi from a
# built Windows tree (target vorn_msi):
#   cmake -DBUILD_DIR=<build> -DSOURCE_DIR=<source> -DVERSION=1.0.0
#         -DOUTPUT=<file.msi> [-DWIXL=wixl -DMSIINFO=msiinfo -DMSIBUILD=msibuild]
#         -P cmake/msi.cmake
# It installs the component "vorn" (stripped, as the ZIP has it) into a
# staging folder beside OUTPUT, signs the programs when a certificate is
# configured (packaging/windows/sign.sh), lists every file for wixl, builds
# packaging/windows/vorn-guard.wxs, records the file versions and signs the
# package.
cmake_minimum_required(VERSION 3.25)

foreach(var BUILD_DIR SOURCE_DIR VERSION OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "msi.cmake: ${var} is not set")
  endif()
endforeach()
# The tools are looked up now, not when the build was configured, so that
# ones installed since then count.
foreach(var WIXL MSIINFO MSIBUILD)
  string(TOLOWER ${var} name)
  if(NOT DEFINED ${var})
    set(${var} ${name})
  endif()
  find_program(tool_${var} NAMES ${${var}} NO_CACHE)
  if(NOT tool_${var})
    message(FATAL_ERROR
            "vorn_msi needs wixl, msiinfo and msibuild: apt-get install wixl msitools")
  endif()
  set(${var} ${tool_${var}})
endforeach()

# Must match the UpgradeCode in vorn-guard.wxs: the GUIDs made here are
# derived from it.
set(upgrade_code BE6D9F47-7659-4F8B-A6AD-A5BE6397CDB3)
get_filename_component(work "${OUTPUT}" DIRECTORY)
get_filename_component(msi_name "${OUTPUT}" NAME)
string(REGEX REPLACE "\\.msi$" "" msi_name "${msi_name}")
set(work "${work}/${msi_name}.d")
set(stage "${work}/stage")
set(sign "${SOURCE_DIR}/packaging/windows/sign.sh")

# wixl takes File sources relative to its working folder only.
function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${stage}"
                  RESULT_VARIABLE code)
  if(NOT code EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "msi.cmake: failed (${code}): ${command}")
  endif()
endfunction()

# ---------------------------------------------------------------- staging
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${stage}")
run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --component vorn
    --prefix "${stage}" --strip)
# The package registers the service itself; the ZIP's scripts would only
# compete with it. log-folders.cmd stays: the package runs it.
file(REMOVE "${stage}/bin/install.cmd" "${stage}/bin/uninstall.cmd")

# Signed before they are packed: the package carries the signed files.
file(GLOB binaries "${stage}/bin/*.exe" "${stage}/bin/*.dll")
execute_process(COMMAND "${sign}" ${binaries} OUTPUT_VARIABLE said
                RESULT_VARIABLE code)
message("${said}")
if(NOT code EQUAL 0)
  message(FATAL_ERROR "msi.cmake: signing failed")
endif()
# Without a certificate it said so once; the package is not signed either.
string(FIND "${said}" "signing skipped" skipped)

# ---------------------------------------------------------------- file list
# One component per file, its GUID derived from the path, so that a file
# keeps its component from one release to the next (the upgrade relies on
# it). Ids are derived from the path too: wixl allows 72 characters.
function(hashed_id prefix text out)
  string(SHA1 hash "${text}")
  string(SUBSTRING "${hash}" 0 24 hash)
  set(${out} "${prefix}${hash}" PARENT_SCOPE)
endfunction()

# These are in vorn-guard.wxs itself.
set(listed_by_hand bin/vorn-guard-service.exe bin/log-folders.cmd)
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
list(SORT files)
list(REMOVE_ITEM files ${listed_by_hand})
set(directories "")
foreach(file IN LISTS files)
  get_filename_component(dir "${file}" DIRECTORY)
  while(NOT dir STREQUAL "" AND NOT dir IN_LIST directories)
    list(APPEND directories "${dir}")
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endforeach()

function(directory_id dir out)
  if(dir STREQUAL "")
    set(${out} INSTALLDIR PARENT_SCOPE)
  elseif(dir STREQUAL "bin")
    set(${out} BINDIR PARENT_SCOPE)
  else()
    hashed_id(d "${dir}" id)
    set(${out} ${id} PARENT_SCOPE)
  endif()
endfunction()

# Appends the components of the files directly in `dir`, then its
# subfolders with theirs.
function(emit_directory dir indent)
  foreach(file IN LISTS files)
    get_filename_component(parent "${file}" DIRECTORY)
    if(NOT parent STREQUAL dir)
      continue()
    endif()
    get_filename_component(name "${file}" NAME)
    hashed_id(c "${file}" component)
    hashed_id(f "${file}" file_id)
    string(UUID guid NAMESPACE ${upgrade_code} NAME "file:${file}"
           TYPE SHA1 UPPER)
    set_property(GLOBAL APPEND_STRING PROPERTY vorn_wxs
      "${indent}<Component Id=\"${component}\" Guid=\"${guid}\" Win64=\"yes\">\n"
      "${indent}  <File Id=\"${file_id}\" Name=\"${name}\" Source=\"${file}\" KeyPath=\"yes\" />\n"
      "${indent}</Component>\n")
    set_property(GLOBAL APPEND_STRING PROPERTY vorn_refs
      "      <ComponentRef Id=\"${component}\" />\n")
  endforeach()
  foreach(sub IN LISTS directories)
    get_filename_component(parent "${sub}" DIRECTORY)
    if(NOT parent STREQUAL dir OR sub STREQUAL "bin")
      continue()
    endif()
    get_filename_component(name "${sub}" NAME)
    directory_id("${sub}" id)
    set_property(GLOBAL APPEND_STRING PROPERTY vorn_wxs
      "${indent}<Directory Id=\"${id}\" Name=\"${name}\">\n")
    emit_directory("${sub}" "${indent}  ")
    set_property(GLOBAL APPEND_STRING PROPERTY vorn_wxs
      "${indent}</Directory>\n")
  endforeach()
endfunction()

set_property(GLOBAL PROPERTY vorn_wxs "")
set_property(GLOBAL PROPERTY vorn_refs "")
foreach(root "" bin)
  directory_id("${root}" id)
  set_property(GLOBAL APPEND_STRING PROPERTY vorn_wxs
    "    <DirectoryRef Id=\"${id}\">\n")
  emit_directory("${root}" "      ")
  set_property(GLOBAL APPEND_STRING PROPERTY vorn_wxs "    </DirectoryRef>\n")
endforeach()
get_property(body GLOBAL PROPERTY vorn_wxs)
get_property(refs GLOBAL PROPERTY vorn_refs)
file(WRITE "${work}/files.wxs"
  "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
  "<!-- Made by cmake/msi.cmake from ${stage}. -->\n"
  "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n"
  "  <Fragment>\n${body}"
  "    <ComponentGroup Id=\"VornFiles\">\n${refs}    </ComponentGroup>\n"
  "  </Fragment>\n</Wix>\n")

# ---------------------------------------------------------------- package
# One release is one product: rebuilding it gives the same ProductCode, so
# Windows Installer treats the rebuilt package as the installed product
# rather than as a second one beside it.
string(UUID product_code NAMESPACE ${upgrade_code} NAME "product:${VERSION}"
       TYPE SHA1 UPPER)
set(unsigned "${work}/${msi_name}.msi")
run("${WIXL}" -a x64 -D "Version=${VERSION}" -D "ProductCode=${product_code}"
    -o "${unsigned}"
    "${SOURCE_DIR}/packaging/windows/vorn-guard.wxs" "${work}/files.wxs")

# wixl leaves the File table's Version empty. Windows Installer would then
# take every program for an unversioned file, and an upgrade would keep the
# older, versioned one on disk. So the version each program carries in its
# resource (VS_FIXEDFILEINFO, after its signature 0xFEEF04BD) is filled in.
function(file_version path out)
  file(READ "${path}" hex HEX)
  string(FIND "${hex}" "bd04effe" at)
  # A match must start on a byte.
  while(at GREATER_EQUAL 0)
    math(EXPR odd "${at} % 2")
    if(odd EQUAL 0)
      break()
    endif()
    math(EXPR next "${at} + 1")
    string(SUBSTRING "${hex}" ${next} -1 rest)
    string(FIND "${rest}" "bd04effe" found)
    if(found LESS 0)
      set(at -1)
    else()
      math(EXPR at "${next} + ${found}")
    endif()
  endwhile()
  if(at LESS 0)
    message(FATAL_ERROR "msi.cmake: ${path} has no version resource")
  endif()
  # Signature, structure version, then FileVersionMS and FileVersionLS, each
  # a little-endian DWORD holding two 16-bit parts.
  math(EXPR ms "${at} + 16")
  math(EXPR ls "${at} + 24")
  set(parts "")
  foreach(start ${ms} ${ls})
    string(SUBSTRING "${hex}" ${start} 8 dword)
    string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3;\\2\\1" halves "${dword}")
    foreach(half IN LISTS halves)
      math(EXPR value "0x${half}")
      list(APPEND parts ${value})
    endforeach()
  endforeach()
  list(JOIN parts "." version)
  set(${out} ${version} PARENT_SCOPE)
endfunction()

execute_process(COMMAND "${MSIINFO}" export "${unsigned}" File
                OUTPUT_VARIABLE table RESULT_VARIABLE code)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "msi.cmake: cannot read the File table")
endif()
# Rows: File, Component_, FileName, FileSize, Version, Language, Attributes,
# Sequence; the first three lines are the header. FileName may be
# "SHORT~1|long name".
string(REPLACE "\r\n" "\n" table "${table}")
string(REGEX REPLACE "\n$" "" table "${table}")
string(REPLACE ";" "\\;" table "${table}")
string(REPLACE "\n" ";" rows "${table}")
set(patched "")
set(count 0)
set(versioned 0)
foreach(row IN LISTS rows)
  math(EXPR count "${count} + 1")
  string(REPLACE "\t" ";" cells "${row}")
  list(LENGTH cells length)
  if(count GREATER 3 AND length EQUAL 8)
    list(GET cells 2 name)
    string(REGEX REPLACE "^.*\\|" "" name "${name}")
    if(name MATCHES "\\.(exe|dll)$")
      # Every program is in bin.
      file_version("${stage}/bin/${name}" version)
      list(REMOVE_AT cells 4)
      list(INSERT cells 4 "${version}")
      math(EXPR versioned "${versioned} + 1")
      message(STATUS "${name}: version ${version}")
    endif()
  endif()
  list(JOIN cells "\t" row)
  string(APPEND patched "${row}\r\n")
endforeach()
if(versioned EQUAL 0)
  message(FATAL_ERROR "msi.cmake: no program found in the File table")
endif()
file(MAKE_DIRECTORY "${work}/idt")
file(WRITE "${work}/idt/File.idt" "${patched}")
run("${MSIBUILD}" "${unsigned}" -i "${work}/idt/File.idt")

if(skipped LESS 0)
  run("${sign}" "${unsigned}")
endif()
file(RENAME "${unsigned}" "${OUTPUT}")
message(STATUS "Built ${OUTPUT}")

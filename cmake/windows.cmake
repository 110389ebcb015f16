# The product: a 64-bit console executable linked against the Universal C
# Runtime, with everything else linked in, so that it imports system DLLs
# only.
enable_language(RC)

# Debian's toolchain links msvcrt by default; swap in the UCRT.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpspecs
  OUTPUT_VARIABLE MINGW_SPECS COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "-lmsvcrt" "-lucrt" UCRT_SPECS "${MINGW_SPECS}")
file(WRITE ${CMAKE_BINARY_DIR}/ucrt.specs "${UCRT_SPECS}")

# What every Windows program of this project is built with, set once: the
# UCRT, wide-character Windows calls, the runtime's own printf, the source
# tree on the include path, everything but system DLLs linked in.
add_library(windows-target INTERFACE)
target_include_directories(windows-target INTERFACE ${CMAKE_SOURCE_DIR})
target_compile_definitions(windows-target INTERFACE
  _UCRT UNICODE _UNICODE __USE_MINGW_ANSI_STDIO=0)
target_compile_options(windows-target INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-specs=${CMAKE_BINARY_DIR}/ucrt.specs>)
target_link_options(windows-target INTERFACE
  -specs=${CMAKE_BINARY_DIR}/ucrt.specs -static)

add_executable(ravon2-cleanup cleanup/main.cpp ${PRODUCT_SOURCES} ${REGISTRY_SOURCES} resources/cleanup.rc)
target_link_libraries(ravon2-cleanup PRIVATE windows-target)
target_compile_definitions(ravon2-cleanup PRIVATE WIN32_LEAN_AND_MEAN)
target_compile_options(ravon2-cleanup PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${WARNINGS} -fno-exceptions -fno-rtti>)
# Reproducible: no link timestamp, no build paths, stripped.
target_compile_options(ravon2-cleanup PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build>)
target_link_options(ravon2-cleanup PRIVATE -s -Wl,--no-insert-timestamp)
target_link_libraries(ravon2-cleanup PRIVATE advapi32 ntdll)
set_source_files_properties(resources/cleanup.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/resources/cleanup.manifest)
set_target_properties(ravon2-cleanup PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Optional Authenticode signature, with the key in a PKCS#11 token or HSM
# (the module, and the key's pkcs11: URI), or, for an in-house certificate
# authority, in a PEM file; the certificate (chain) is a PEM file either
# way. Without a key the exe stays unsigned. The token's PIN is read from
# CLEANUP_SIGN_PIN in the build's environment when it signs, never from
# the cache. With a timestamp server (RFC 3161) the signature outlives the
# certificate; without one it stops verifying when the certificate
# expires. These are cache variables: the environment is read on a build
# folder's first configure only.
set(CLEANUP_SIGN_CERT "$ENV{CLEANUP_SIGN_CERT}" CACHE FILEPATH "PEM certificate (chain) to sign the exe with")
set(CLEANUP_SIGN_KEY "$ENV{CLEANUP_SIGN_KEY}" CACHE FILEPATH
  "PEM private key of that certificate (an in-house certificate authority)")
set(CLEANUP_SIGN_PKCS11_MODULE "$ENV{CLEANUP_SIGN_PKCS11_MODULE}" CACHE FILEPATH
  "PKCS#11 module of the token or HSM that holds the key")
set(CLEANUP_SIGN_PKCS11_KEY "$ENV{CLEANUP_SIGN_PKCS11_KEY}" CACHE STRING
  "pkcs11: URI of the key in that module, without a PIN (CLEANUP_SIGN_PIN in the build's environment)")
set(CLEANUP_SIGN_TIMESTAMP "$ENV{CLEANUP_SIGN_TIMESTAMP}" CACHE STRING
  "URL of an RFC 3161 timestamp server for the exe's signature")
set(SIGN_KEY)
if(CLEANUP_SIGN_KEY AND CLEANUP_SIGN_PKCS11_KEY)
  message(FATAL_ERROR "Give CLEANUP_SIGN_KEY or CLEANUP_SIGN_PKCS11_KEY, not both")
elseif(CLEANUP_SIGN_PKCS11_KEY MATCHES "pin-value|pin-source")
  # CMake writes the cache even when configure fails: the URI goes first.
  unset(CLEANUP_SIGN_PKCS11_KEY CACHE)
  message(FATAL_ERROR "CLEANUP_SIGN_PKCS11_KEY holds a PIN, which would stay in the cache: "
    "give it as CLEANUP_SIGN_PIN in the build's environment")
elseif(CLEANUP_SIGN_PKCS11_KEY)
  if(NOT CLEANUP_SIGN_PKCS11_MODULE)
    message(FATAL_ERROR "CLEANUP_SIGN_PKCS11_KEY needs CLEANUP_SIGN_PKCS11_MODULE")
  endif()
  # OpenSSL's PKCS#11 engine (libp11), through which osslsigncode reaches the module.
  find_file(CLEANUP_SIGN_PKCS11_ENGINE pkcs11.so
    PATHS /usr/lib/x86_64-linux-gnu/engines-3 /usr/lib/engines-3 NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
    REQUIRED)
  # The URI's attributes are separated by semicolons, which CMake would split on.
  string(REPLACE ";" "$<SEMICOLON>" SIGN_KEY_URI "${CLEANUP_SIGN_PKCS11_KEY}")
  set(SIGN_KEY -pkcs11engine ${CLEANUP_SIGN_PKCS11_ENGINE}
    -pkcs11module ${CLEANUP_SIGN_PKCS11_MODULE} -key ${SIGN_KEY_URI})
elseif(CLEANUP_SIGN_KEY)
  set(SIGN_KEY -key ${CLEANUP_SIGN_KEY})
endif()
if(SIGN_KEY AND NOT CLEANUP_SIGN_CERT)
  message(FATAL_ERROR "A signing key needs its certificate: CLEANUP_SIGN_CERT")
elseif(CLEANUP_SIGN_CERT AND NOT SIGN_KEY)
  message(FATAL_ERROR "CLEANUP_SIGN_CERT needs a key: CLEANUP_SIGN_PKCS11_KEY or CLEANUP_SIGN_KEY")
endif()
if(SIGN_KEY)
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
  set(SIGN_TIMESTAMP)
  if(CLEANUP_SIGN_TIMESTAMP)
    set(SIGN_TIMESTAMP -ts ${CLEANUP_SIGN_TIMESTAMP})
  endif()
  # A signing that fails removes the exe: no unsigned one stays where the
  # signed one belongs, and the next build links and signs again.
  add_custom_command(TARGET ravon2-cleanup POST_BUILD
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/sign.sh $<TARGET_FILE:ravon2-cleanup> ${OSSLSIGNCODE}
      -certs ${CLEANUP_SIGN_CERT} ${SIGN_KEY} -n "Ravon2 cleanup" -h sha256 ${SIGN_TIMESTAMP}
    COMMENT "Signing ravon2-cleanup.exe"
    VERBATIM)
endif()
add_custom_command(TARGET ravon2-cleanup POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E sha256sum $<TARGET_FILE:ravon2-cleanup>
  VERBATIM)
# The fleet's detection script ships beside the exe.
configure_file(${CMAKE_SOURCE_DIR}/fleet/detect-cleaned.ps1
  ${CMAKE_BINARY_DIR}/bin/detect-cleaned.ps1 COPYONLY)
# A release: the exe (signed when signing is configured), the detection
# script as the checkout has it, and their SHA256SUMS, in dist/.
add_custom_target(dist
  COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:ravon2-cleanup>
    -DSCRIPT=${CMAKE_SOURCE_DIR}/fleet/detect-cleaned.ps1 -DDIST=${CMAKE_BINARY_DIR}/dist
    -P ${CMAKE_SOURCE_DIR}/cmake/dist.cmake
  DEPENDS ravon2-cleanup
  COMMENT "Assembling dist/"
  VERBATIM)

# Everything below is for the tests: the exe and dist/ above need the
# toolchain alone (-DBUILD_TESTING=OFF builds nothing else and looks for
# no other tool).
if(NOT BUILD_TESTING)
  return()
endif()

# Helpers for the Wine tests, built with the same toolchain.
function(add_wine_helper name source)
  add_executable(${name} ${source})
  target_compile_options(${name} PRIVATE ${WARNINGS} -Wno-conversion)
  target_link_options(${name} PRIVATE -municode)
  target_link_libraries(${name} PRIVATE windows-target ${ARGN})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-helpers)
endfunction()
# The cleanup's tables, for helpers that name its rows, bundles or product.
add_library(cleanup-tables STATIC cleanup/cleanup_data.cpp)
target_link_libraries(cleanup-tables PUBLIC windows-target)
target_compile_options(cleanup-tables PRIVATE ${WARNINGS})

add_wine_helper(regtool tests/wine/regtool.cpp advapi32 msi ntdll)
add_wine_helper(print-tables tests/wine/print_tables.cpp cleanup-tables)
add_wine_helper(stand-in-installer tests/wine/stand_in_installer.cpp cleanup-tables advapi32 msi shell32)
add_wine_helper(launcher tests/wine/launcher.cpp)
add_wine_helper(planted-program tests/wine/planted_program.cpp)
add_wine_helper(mutex-holder tests/wine/mutex_holder.cpp cleanup-tables msi)

# A Windows PowerShell 7.6 for the Wine tier, for each architecture, from
# NuGet; built once per build folder. The two run one after the other: they
# share the project's restore.
find_program(DOTNET_PROGRAM dotnet REQUIRED)
set(POWERSHELL_HOST_DIR ${CMAKE_SOURCE_DIR}/tests/wine/powershell_host)
set(POWERSHELL_HOSTS)
set(POWERSHELL_PUBLISH)
foreach(rid win-x64 win-x86)
  list(APPEND POWERSHELL_HOSTS ${CMAKE_BINARY_DIR}/powershell/${rid}/powershell-host.exe)
  list(APPEND POWERSHELL_PUBLISH COMMAND ${DOTNET_PROGRAM} publish
    ${POWERSHELL_HOST_DIR}/powershell-host.csproj -r ${rid} -c Release --nologo -v quiet
    --artifacts-path ${CMAKE_BINARY_DIR}/powershell/artifacts -o ${CMAKE_BINARY_DIR}/powershell/${rid})
endforeach()
add_custom_command(OUTPUT ${POWERSHELL_HOSTS}
  ${POWERSHELL_PUBLISH}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/powershell/artifacts
  DEPENDS ${POWERSHELL_HOST_DIR}/Program.cs ${POWERSHELL_HOST_DIR}/powershell-host.csproj
  COMMENT "Publishing the PowerShell 7.6 hosts for win-x64 and win-x86"
  VERBATIM)
add_custom_target(powershell-hosts ALL DEPENDS ${POWERSHELL_HOSTS})

add_subdirectory(tests/wine)

# The program's own registry walk, built into test helpers that drive it
# directly on Wine's registry.
add_library(registry-walk STATIC ${REGISTRY_SOURCES})
target_link_libraries(registry-walk PUBLIC windows-target)
target_compile_options(registry-walk PRIVATE ${WARNINGS})
add_wine_helper(registry-stress tests/wine/registry_stress.cpp registry-walk cleanup-tables advapi32 ntdll)
add_wine_helper(registry-benchmark tests/wine/registry_benchmark.cpp registry-walk advapi32 ntdll)

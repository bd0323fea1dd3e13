# Signs a Windows program with osslsigncode when the environment names a key; without one it
# does nothing. The key is either
#   SKELVANE_SIGN_PKCS12               a PKCS#12 file holding the certificate and its key, or
#   SKELVANE_SIGN_KEY                  a key file, or a PKCS#11 URI of a key on a token, with
#   SKELVANE_SIGN_CERTS                the certificate file (PEM or DER, the chain may follow) or
#                                      a PKCS#11 URI of the certificate on the token,
#   SKELVANE_SIGN_PKCS11_MODULE        the token's PKCS#11 module, for a key on a token,
#   SKELVANE_SIGN_PKCS11_ENGINE        the OpenSSL engine for it, when not the default one;
# and optionally
#   SKELVANE_SIGN_PASSWORD_FILE        a file holding the key's password or the token's PIN (a
#                                      file, so that it never shows on a command line),
#   SKELVANE_SIGN_TIMESTAMP_URL        an RFC 3161 time-stamp server.
#
# Included with SKELVANE_SIGN_FILE set (the package's install step), or run alone:
#   cmake -DFILE=<program.exe> -P cmake/sign.cmake

# The URL in the signature is the support article the program itself names, from the one file
# that holds it for both.
function(skelvane_support_url out)
  get_filename_component(source_dir "${CMAKE_CURRENT_FUNCTION_LIST_DIR}" DIRECTORY)
  file(STRINGS "${source_dir}/vendor/support_article_url.txt" url LIMIT_COUNT 1)
  if(url STREQUAL "")
    message(FATAL_ERROR "sign: vendor/support_article_url.txt names no URL")
  endif()
  set(${out} "${url}" PARENT_SCOPE)
endfunction()

# Whether the environment names a key (BUILDINFO says so too).
function(skelvane_signing_key_named out)
  if(NOT "$ENV{SKELVANE_SIGN_PKCS12}$ENV{SKELVANE_SIGN_KEY}" STREQUAL "")
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Appends an environment variable's value to a command list as one argument: a PKCS#11 URI holds
# semicolons, CMake's list separator, so they are escaped until the command is run.
function(append_value list_var variable)
  string(REPLACE ";" "\\;" value "$ENV{${variable}}")
  set(${list_var} "${${list_var}};${value}" PARENT_SCOPE)
endfunction()

# The osslsigncode options that select the key, its certificate and its password.
function(skelvane_key_options out)
  set(options)
  if(NOT "$ENV{SKELVANE_SIGN_PKCS12}" STREQUAL "")
    list(APPEND options -pkcs12)
    append_value(options SKELVANE_SIGN_PKCS12)
  else()
    if("$ENV{SKELVANE_SIGN_CERTS}" STREQUAL "")
      message(FATAL_ERROR "sign: SKELVANE_SIGN_KEY needs SKELVANE_SIGN_CERTS, the certificate")
    endif()
    if(NOT "$ENV{SKELVANE_SIGN_PKCS11_ENGINE}" STREQUAL "")
      list(APPEND options -pkcs11engine)
      append_value(options SKELVANE_SIGN_PKCS11_ENGINE)
    endif()
    if(NOT "$ENV{SKELVANE_SIGN_PKCS11_MODULE}" STREQUAL "")
      list(APPEND options -pkcs11module)
      append_value(options SKELVANE_SIGN_PKCS11_MODULE)
    endif()
    if("$ENV{SKELVANE_SIGN_CERTS}" MATCHES "^pkcs11:")
      list(APPEND options -pkcs11cert)
    else()
      list(APPEND options -certs)
    endif()
    append_value(options SKELVANE_SIGN_CERTS)
    list(APPEND options -key)
    append_value(options SKELVANE_SIGN_KEY)
  endif()
  if(NOT "$ENV{SKELVANE_SIGN_PASSWORD_FILE}" STREQUAL "")
    list(APPEND options -readpass)
    append_value(options SKELVANE_SIGN_PASSWORD_FILE)
  endif()
  set(${out} "${options}" PARENT_SCOPE)
endfunction()

# Runs the command held in the named list: expanded only here, so escaped semicolons stay inside
# their arguments.
function(run_osslsigncode command_var)
  execute_process(COMMAND ${${command_var}} RESULT_VARIABLE result OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "sign: osslsigncode failed (${result}):\n${output}")
  endif()
endfunction()

# A SHA-1 signature first, then a nested SHA-256 one: Windows XP, Vista and 7 without the SHA-2
# updates verify only the first signature and only with SHA-1; later Windows take the SHA-256.
function(skelvane_sign_file file)
  skelvane_signing_key_named(named)
  if(NOT named)
    return()
  endif()
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "sign: a key is named but osslsigncode is not installed")
  endif()
  skelvane_key_options(key_options)
  skelvane_support_url(url)
  set(sign "${OSSLSIGNCODE};sign;${key_options}")
  list(APPEND sign -n Skelvane -i "${url}")
  if(NOT "$ENV{SKELVANE_SIGN_TIMESTAMP_URL}" STREQUAL "")
    list(APPEND sign -ts)
    append_value(sign SKELVANE_SIGN_TIMESTAMP_URL)
  endif()
  file(REMOVE "${file}.sha1" "${file}.signed")
  set(first "${sign}")
  list(APPEND first -h sha1 -in "${file}" -out "${file}.sha1")
  run_osslsigncode(first)
  set(nested "${sign}")
  list(APPEND nested -nest -h sha256 -in "${file}.sha1" -out "${file}.signed")
  run_osslsigncode(nested)
  file(CHMOD "${file}.signed" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  file(RENAME "${file}.signed" "${file}")
  file(REMOVE "${file}.sha1")
  message(STATUS "Signed ${file}: SHA-1, nested SHA-256")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT FILE)
    message(FATAL_ERROR "usage: cmake -DFILE=<program.exe> -P cmake/sign.cmake")
  endif()
  skelvane_sign_file("${FILE}")
elseif(SKELVANE_SIGN_FILE)
  skelvane_sign_file("${SKELVANE_SIGN_FILE}")
endif()

# OSTREL_SIGNING_KEYS into generated/signing_keys.h, checked here so that a
# mistyped key fails the build instead of every install.
set(_keys "")
set(_count 0)
set(_sep "")
foreach(_key IN LISTS OSTREL_SIGNING_KEYS)
  string(STRIP "${_key}" _key)
  if(_key STREQUAL "")
    continue()
  endif()
  # 65 bytes that start with 0x04 are 88 characters: "B", one of A-P, and a
  # last group of three characters and "=" whose final character has two zero bits.
  string(LENGTH "${_key}" _length)
  if(NOT _length EQUAL 88 OR NOT _key MATCHES "^B[A-P][A-Za-z0-9+/]*[AEIMQUYcgkosw048]=$")
    message(FATAL_ERROR "OSTREL_SIGNING_KEYS: \"${_key}\" isn't a public key in the form tools/publish keygen prints "
                        "(the base64 of a 65-byte uncompressed P-256 point).")
  endif()
  string(APPEND _keys "${_sep}\"${_key}\"")
  set(_sep ", ")
  math(EXPR _count "${_count} + 1")
endforeach()
if(_count GREATER 2)
  message(FATAL_ERROR "OSTREL_SIGNING_KEYS: ${_count} keys; the setup takes two at most (the current and the next).")
endif()
set(OSTREL_SIGNING_KEYS_C "${_keys}")
configure_file(${CMAKE_SOURCE_DIR}/src/app/signing_keys.h.in "${CMAKE_BINARY_DIR}/generated/signing_keys.h" @ONLY)
# On stderr, so that it shows however quiet the build script keeps cmake.
if(_count EQUAL 0)
  message(NOTICE "Signing keys: none. This setup trusts the install information as the server sends it; "
                 "build with -DOSTREL_SIGNING_KEYS=... to have it checked (README, \"Signing the install information\").")
else()
  message(NOTICE "Signing keys: ${_count}. This setup installs only from install information signed with "
                 "one of them: ${OSTREL_SIGNING_KEYS}")
endif()
unset(_sep)

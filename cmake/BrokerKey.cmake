# tarvo_add_broker_key(<target> <jwk-file>)
#
# Checks that <jwk-file> holds an RSA public key in the exact form the client seals
# credentials to, and makes <target>, an object library that defines tarvo::kBrokerKey
# with the file's text. Configuration fails with a message naming what is wrong.
# An empty <jwk-file> means no key: tarvo::kBrokerKey is then empty, cjose cannot import
# it, and the Enterprise edition fails closed ("[SDK] JWK import failed", no connection).
function(tarvo_check_broker_key file)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "Broker key: file not found: ${file}")
  endif()
  file(READ "${file}" key)
  string(LENGTH "${key}" length)
  set(form "must be a 425-character JWK, without whitespace, with members \"kty\", \"kid\", \"n\", \"e\" in that order")
  if(NOT length EQUAL 425)
    message(FATAL_ERROR "Broker key ${file}: ${length} characters; it ${form}")
  endif()
  if(key MATCHES "[ \t\r\n]")
    message(FATAL_ERROR "Broker key ${file}: contains whitespace; it ${form}")
  endif()
  if(NOT key MATCHES "^{\"kty\":\"([^\"]*)\",\"kid\":\"([^\"]*)\",\"n\":\"([^\"]*)\",\"e\":\"([A-Za-z0-9_-]+)\"}$")
    message(FATAL_ERROR "Broker key ${file}: unexpected members; it ${form}, and no private-key members")
  endif()
  set(kty "${CMAKE_MATCH_1}")
  set(kid "${CMAKE_MATCH_2}")
  set(n "${CMAKE_MATCH_3}")
  if(NOT kty STREQUAL "RSA")
    message(FATAL_ERROR "Broker key ${file}: \"kty\" is \"${kty}\", expected \"RSA\"")
  endif()
  string(LENGTH "${kid}" kid_length)
  if(NOT kid_length EQUAL 43 OR NOT kid MATCHES "^[A-Za-z0-9_-]+$")
    message(FATAL_ERROR "Broker key ${file}: \"kid\" must be 43 base64url characters")
  endif()
  string(LENGTH "${n}" n_length)
  # 342 base64url characters carry 2048 bits; the first one must have its top bit set
  # ('g' or later in the alphabet) for the modulus to be a full 2048 bits.
  if(NOT n_length EQUAL 342 OR NOT n MATCHES "^[A-Za-z0-9_-]+$" OR NOT n MATCHES "^[g-z0-9_-]")
    message(FATAL_ERROR "Broker key ${file}: \"n\" must be 342 base64url characters encoding a 2048-bit modulus")
  endif()
endfunction()

function(tarvo_add_broker_key target file)
  if(file STREQUAL "")
    set(origin "no key file: none was given")
    set(TARVO_BROKER_KEY_TEXT "")
    message(STATUS "${target}: no broker key; the Enterprise edition will refuse to connect")
  else()
    tarvo_check_broker_key("${file}")
    set(origin "${file}")
    file(READ "${file}" TARVO_BROKER_KEY_TEXT)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  endif()
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp")
  file(CONFIGURE OUTPUT "${source}" CONTENT [=[
// Generated at configure time from @origin@.
#include "broker_key.hpp"

const std::string_view tarvo::kBrokerKey = R"jwk(@TARVO_BROKER_KEY_TEXT@)jwk";
]=] @ONLY)
  add_library(${target} OBJECT "${source}")
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/core")
endfunction()

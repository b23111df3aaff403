# veldra_release_key(PEM_FILE OUTPUT_HEADER): the key as a C string; an empty
# PEM_FILE gives an empty key (no checking).
function(veldra_release_key pem_file output)
  set(VELDRA_RELEASE_KEY_TEXT "")
  if(pem_file)
    if(NOT EXISTS "${pem_file}")
      message(FATAL_ERROR "VELDRA_RELEASE_PUBLIC_KEY: no file ${pem_file}")
    endif()
    file(READ "${pem_file}" text)
    string(REGEX MATCH "-----BEGIN PUBLIC KEY-----[A-Za-z0-9+/=\r\n]*-----END PUBLIC KEY-----"
           text "${text}")
    if(NOT text)
      message(FATAL_ERROR "VELDRA_RELEASE_PUBLIC_KEY: ${pem_file} holds no PEM public key")
    endif()
    string(REPLACE "\r" "" text "${text}")
    string(REPLACE "\n" "\\n" VELDRA_RELEASE_KEY_TEXT "${text}")
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/engine/release_key.h.in ${output} @ONLY)
endfunction()

# OpenSSL, which ipc-mqtt's TLS and libmosquitto's use. On this machine:
# Debian's libssl-dev. For the device: Debian's own openssl source package,
# which scripts/deps fetches into the same cache as mosquitto's, built here
# with its own Configure as static libraries for a TLS 1.2 and 1.3 client
# alone: no shared libraries, tests, engines, legacy ciphers and digests,
# assembly, threads or error texts (the bridge says in words why a
# handshake failed). Sets the target ipc_openssl, IPC_OPENSSL_SOURCE and
# IPC_OPENSSL_NOTICE (its licence). Needs ipc_deps_cache (mosquitto.cmake).

if(NOT IPC_MQTT_TLS)
  return()
endif()

if(NOT CMAKE_CROSSCOMPILING)
  find_package(OpenSSL)
  if(NOT OPENSSL_FOUND)
    message(FATAL_ERROR "OpenSSL not found (apt-get install libssl-dev, or run scripts/deps), "
      "or build without TLS: -DIPC_MQTT_TLS=OFF")
  endif()
  add_library(ipc_openssl INTERFACE)
  target_link_libraries(ipc_openssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
  set(IPC_OPENSSL_NOTICE /usr/share/doc/libssl3/copyright)
  return()
endif()

set(IPC_OPENSSL_SOURCE "${ipc_deps_cache}/openssl" CACHE PATH
  "Debian's openssl source package, unpacked (scripts/deps puts it there)")
if(NOT EXISTS "${IPC_OPENSSL_SOURCE}/Configure")
  message(FATAL_ERROR "no openssl source in ${IPC_OPENSSL_SOURCE}: run scripts/deps, "
    "or set IPC_OPENSSL_SOURCE to Debian's openssl source package, unpacked")
endif()

# What a TLS client of one broker does without: the old ciphers and
# digests, DTLS, SRP, PSK, CMS and the like are never offered to a broker.
# What each group saves is in docs/building.md. musl's headers lack
# linux/version.h and linux/mman.h: hence no-ktls and no-secure-memory.
set(IPC_OPENSSL_OPTIONS
  no-shared no-err no-tests no-filenames
  no-deprecated no-legacy no-engine no-dso no-comp no-srp no-dtls no-ssl3 no-tls1 no-tls1_1
  no-async no-autoload-config no-cms no-ts no-ct no-srtp no-psk
  no-idea no-rc2 no-rc4 no-des no-cast no-camellia no-aria no-seed no-sm2 no-sm3 no-sm4
  no-whirlpool no-md4 no-mdc2 no-rmd160 no-blake2 no-siphash no-bf
  no-ec2m no-dsa no-cmp no-multiblock no-scrypt
  no-asm no-dh no-rfc3779 no-chacha no-poly1305 no-siv no-ocb no-cmac no-threads
  no-nextprotoneg no-dgram no-pic no-ktls no-secure-memory no-ui-console
  -DOPENSSL_SMALL_FOOTPRINT)

# Installed below the build tree as it would be on the device (/usr,
# /etc/ssl), so that no build path is in the library's strings: the same
# commit gives the same bytes wherever it is built.
set(_root "${CMAKE_BINARY_DIR}/openssl-root")
set(_cflags "${CMAKE_C_FLAGS} -Os -DNDEBUG -ffunction-sections -fdata-sections -ffile-prefix-map=${IPC_OPENSSL_SOURCE}=openssl")
include(ExternalProject)
ExternalProject_Add(openssl_device
  SOURCE_DIR "${IPC_OPENSSL_SOURCE}"
  BINARY_DIR "${CMAKE_BINARY_DIR}/openssl"
  CONFIGURE_COMMAND ${CMAKE_COMMAND} -E env "CC=${CMAKE_C_COMPILER}" "AR=${CMAKE_AR}" "RANLIB=${CMAKE_RANLIB}"
    "CFLAGS=${_cflags}" SOURCE_DATE_EPOCH=$ENV{SOURCE_DATE_EPOCH}
    perl "${IPC_OPENSSL_SOURCE}/Configure" linux-armv4 --prefix=/usr --openssldir=/etc/ssl --libdir=lib
    ${IPC_OPENSSL_OPTIONS}
  BUILD_COMMAND make -s build_libs
  INSTALL_COMMAND make -s install_dev DESTDIR=${_root}
  BUILD_BYPRODUCTS "${_root}/usr/lib/libssl.a" "${_root}/usr/lib/libcrypto.a")
file(MAKE_DIRECTORY "${_root}/usr/include")
add_library(ipc_libcrypto STATIC IMPORTED)
set_target_properties(ipc_libcrypto PROPERTIES IMPORTED_LOCATION "${_root}/usr/lib/libcrypto.a")
add_library(ipc_openssl STATIC IMPORTED)
set_target_properties(ipc_openssl PROPERTIES
  IMPORTED_LOCATION "${_root}/usr/lib/libssl.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_root}/usr/include"
  INTERFACE_LINK_LIBRARIES ipc_libcrypto)
add_dependencies(ipc_openssl openssl_device)
set(IPC_OPENSSL_ROOT "${_root}/usr")
# Debian's copyright file: OpenSSL's Apache-2.0 licence and its holders.
set(IPC_OPENSSL_NOTICE "${IPC_OPENSSL_SOURCE}/debian/copyright")

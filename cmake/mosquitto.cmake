# libmosquitto, which ipc-mqtt speaks MQTT through. On this machine:
# Debian's libmosquitto-dev. For the device: Debian's own source package,
# which scripts/deps fetches and unpacks into a cache, built here with
# mosquitto's own CMake files as a static library, with TLS (against
# openssl.cmake's OpenSSL) unless IPC_MQTT_TLS is off, without threads,
# SOCKS, Unix sockets or any of the broker, clients and plugins. Sets
# IPC_MQTT (found or not), the target ipc_mosquitto and
# IPC_MOSQUITTO_NOTICE (its licence).

# The same place as scripts/deps puts the source packages.
if(NOT "$ENV{IPC_DEPS_CACHE}" STREQUAL "")
  set(ipc_deps_cache "$ENV{IPC_DEPS_CACHE}")
elseif(NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(ipc_deps_cache "$ENV{XDG_CACHE_HOME}/ipc-dispatchd/deps")
elseif(NOT "$ENV{HOME}" STREQUAL "")
  set(ipc_deps_cache "$ENV{HOME}/.cache/ipc-dispatchd/deps")
else()
  set(ipc_deps_cache /var/cache/ipc-dispatchd/deps)
endif()

if(CMAKE_CROSSCOMPILING)
  include(${CMAKE_CURRENT_LIST_DIR}/openssl.cmake)
  set(IPC_MOSQUITTO_SOURCE "${ipc_deps_cache}/mosquitto" CACHE PATH
    "Debian's mosquitto source package, unpacked (scripts/deps puts it there)")
  if(NOT EXISTS "${IPC_MOSQUITTO_SOURCE}/lib/mosquitto.c")
    message(FATAL_ERROR "no mosquitto source in ${IPC_MOSQUITTO_SOURCE}: run scripts/deps, "
      "or set IPC_MOSQUITTO_SOURCE to Debian's mosquitto source package, unpacked")
  endif()
  include(ExternalProject)
  set(_lib "${CMAKE_BINARY_DIR}/mosquitto/lib/libmosquitto_static.a")
  # With TLS, against the OpenSSL built above; its no-ui-console leaves
  # out the terminal prompt that libmosquitto's key-password hooks wrap,
  # which the bridge never uses (a key with a passphrase is refused).
  set(_tls -DWITH_TLS=OFF)
  set(_tls_flags "")
  if(IPC_MQTT_TLS)
    set(_tls -DWITH_TLS=ON -DWITH_TLS_PSK=OFF "-DOPENSSL_ROOT_DIR=${IPC_OPENSSL_ROOT}"
      "-DOPENSSL_INCLUDE_DIR=${IPC_OPENSSL_ROOT}/include"
      "-DOPENSSL_SSL_LIBRARY=${IPC_OPENSSL_ROOT}/lib/libssl.a"
      "-DOPENSSL_CRYPTO_LIBRARY=${IPC_OPENSSL_ROOT}/lib/libcrypto.a")
    set(_tls_flags "-DUI_OpenSSL=UI_null")
  endif()
  ExternalProject_Add(mosquitto_device
    SOURCE_DIR "${IPC_MOSQUITTO_SOURCE}"
    BINARY_DIR "${CMAKE_BINARY_DIR}/mosquitto"
    CMAKE_ARGS
      -G ${CMAKE_GENERATOR}
      "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}"
      -DCMAKE_BUILD_TYPE=MinSizeRel
      # The toolchain's flags (architecture, musl's specs file) and more: a
      # CMAKE_C_FLAGS given here replaces what the toolchain file starts it with.
      "-DCMAKE_C_FLAGS=${CMAKE_C_FLAGS} ${_tls_flags} -ffunction-sections -fdata-sections -ffile-prefix-map=${IPC_MOSQUITTO_SOURCE}=mosquitto -ffile-prefix-map=${CMAKE_BINARY_DIR}/mosquitto=mosquitto"
      -DWITH_STATIC_LIBRARIES=ON ${_tls} -DWITH_THREADING=OFF -DWITH_SOCKS=OFF -DWITH_UNIX_SOCKETS=OFF
      -DWITH_SRV=OFF -DWITH_CJSON=OFF -DWITH_BROKER=OFF -DWITH_CLIENTS=OFF -DWITH_APPS=OFF
      -DWITH_PLUGINS=OFF -DWITH_LIB_CPP=OFF -DDOCUMENTATION=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target libmosquitto_static
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS "${_lib}")
  add_library(ipc_mosquitto STATIC IMPORTED)
  set_target_properties(ipc_mosquitto PROPERTIES
    IMPORTED_LOCATION "${_lib}"
    INTERFACE_INCLUDE_DIRECTORIES "${IPC_MOSQUITTO_SOURCE}/include"
    INTERFACE_COMPILE_DEFINITIONS LIBMOSQUITTO_STATIC
    # ipc-mqtt refuses, at the allocation, a packet larger than it takes.
    INTERFACE_LINK_OPTIONS "-Wl,--wrap=mosquitto__malloc,--wrap=mosquitto__calloc")
  add_dependencies(ipc_mosquitto mosquitto_device)
  if(IPC_MQTT_TLS)
    add_dependencies(mosquitto_device openssl_device)
  endif()
  # Debian's copyright file: its holders and licences (EDL-1.0) in full.
  set(IPC_MOSQUITTO_NOTICE "${IPC_MOSQUITTO_SOURCE}/debian/copyright")
  set(IPC_MQTT ON)
  return()
endif()

find_path(IPC_MOSQUITTO_INCLUDE_DIR mosquitto.h)
find_library(IPC_MOSQUITTO_LIBRARY mosquitto)
if(IPC_MOSQUITTO_INCLUDE_DIR AND IPC_MOSQUITTO_LIBRARY)
  add_library(ipc_mosquitto UNKNOWN IMPORTED)
  set_target_properties(ipc_mosquitto PROPERTIES
    IMPORTED_LOCATION "${IPC_MOSQUITTO_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${IPC_MOSQUITTO_INCLUDE_DIR}")
  # The same file as the package installs it.
  set(IPC_MOSQUITTO_NOTICE /usr/share/doc/libmosquitto1/copyright)
  set(IPC_MQTT ON)
  include(${CMAKE_CURRENT_LIST_DIR}/openssl.cmake)
elseif(BUILD_TESTING)
  message(FATAL_ERROR "libmosquitto not found (apt-get install libmosquitto-dev, or run scripts/deps)")
else()
  message(STATUS "libmosquitto not found: ipc-mqtt is left out")
  set(IPC_MQTT OFF)
endif()

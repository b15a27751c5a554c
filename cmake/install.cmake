include(GNUInstallDirs)
install(TARGETS ${IPC_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
# What is linked into the programs comes with its licence.
if(IPC_MQTT)
  install(FILES ${IPC_MOSQUITTO_NOTICE} DESTINATION ${CMAKE_INSTALL_DOCDIR}/licenses RENAME libmosquitto)
endif()

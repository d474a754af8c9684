# The Debian package (cpack -G DEB, from the build tree): programs and libraries under
# /usr/lib/vq/{bin,lib} as in the build tree, so the module search (a program's ../lib)
# finds the suite's libraries without touching the system's; the commands linked into
# /usr/bin; default configuration in /usr/share/vq, put into /var/lib/vq by postinst.

set(VQ_PACKAGE_PROGRAMS mordane mordane_reduced corvane quillon vqsnmpd taskctrl vqjournal
    vqreg vqevent vqlog vqsc vqtrap vqjob vqled vqtray)
set(VQ_PACKAGE_LIBRARIES vqpal ntdll vqbase vqsession vqpblock norvik ledpanel dbgtrace vqregdata telvane)

set(vq_installed_programs "")
foreach(target ${VQ_PACKAGE_PROGRAMS})
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
    install(TARGETS ${target} RUNTIME DESTINATION lib/vq/bin)
    list(APPEND vq_installed_programs ${target})
  endif()
endforeach()
foreach(target ${VQ_PACKAGE_LIBRARIES})
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
    install(TARGETS ${target} LIBRARY DESTINATION lib/vq/lib)
  endif()
endforeach()
install(PROGRAMS dist/debian/vq-init-root DESTINATION lib/vq/bin)

# /usr/bin/<program> -> ../lib/vq/bin/<program>; quillon reads Quillon.ini beside its
# own file, which is the conffile in /etc/vq.
install(CODE "
  set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  file(MAKE_DIRECTORY \"\${root}/bin\")
  foreach(p ${vq_installed_programs})
    file(CREATE_LINK \"../lib/vq/bin/\${p}\" \"\${root}/bin/\${p}\" SYMBOLIC)
  endforeach()
  file(CREATE_LINK \"/etc/vq/Quillon.ini\" \"\${root}/lib/vq/bin/Quillon.ini\" SYMBOLIC)
")
install(FILES eventmon/install/Quillon.ini DESTINATION /etc/vq)

install(FILES gatherer/install/Mordane.ini gatherer/install/Mordane.reg gatherer/messages/Mordane.mc
        DESTINATION share/vq/gatherer)
install(FILES agent/install/Corvane.reg DESTINATION share/vq/agent)
file(GLOB vq_mib_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/dist/snmp/*)
install(FILES ${vq_mib_files} DESTINATION share/vq/snmp)
file(GLOB vq_device_samples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/dist/devices/*.conf)
install(FILES ${vq_device_samples} DESTINATION share/vq/devices)
file(GLOB vq_init_regs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/dist/init.d/*.reg)
if(vq_init_regs)
  install(FILES ${vq_init_regs} DESTINATION share/vq/init.d)
endif()
file(GLOB vq_units CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/dist/systemd/*.service)
install(FILES ${vq_units} DESTINATION /lib/systemd/system)
install(FILES README.md DESTINATION share/doc/vq)
file(GLOB vq_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${vq_docs} DESTINATION share/doc/vq/docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vq-suite)
set(CPACK_PACKAGE_VERSION ${VQ_VERSION})
set(CPACK_PACKAGE_CONTACT "VQ team <vq@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Health monitoring for point-of-sale terminals: hardware gatherer, SNMP trap agent, tray monitor")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libsqlite3-0, libsnmp40, libsystemd0")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "snmptrapd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/dist/debian/postinst ${PROJECT_SOURCE_DIR}/dist/debian/prerm
    ${PROJECT_SOURCE_DIR}/dist/debian/postrm ${PROJECT_SOURCE_DIR}/dist/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# cpack packages what is built; it does not build first (tests run it beside other tests).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
include(CPack)

# The package's contents and scripts, checked from the build tree (not in the sanitized
# build: the package holds the same files either way).
if(VQ_BUILD_TESTS AND NOT VQ_SANITIZE)
  find_program(VQ_DPKG_DEB dpkg-deb)
  if(VQ_DPKG_DEB)
    add_test(NAME Package.ContentsScriptsAndPostInstall
             COMMAND ${PROJECT_SOURCE_DIR}/tests/package/package_test.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(Package.ContentsScriptsAndPostInstall PROPERTIES TIMEOUT 300)
  endif()
endif()

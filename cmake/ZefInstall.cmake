# `cmake --install`: the static libraries, their public headers under include/zef/, a CMake
# package (find_package(zef) gives zef::common, zef::components, zef::smtp, zef::pop,
# zef::imap, and zef::qt when built with Qt 6) and zefmail.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZEF_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zef)

set(zef_installed_libraries)
foreach(name common components qt smtp pop imap)
    if(TARGET zef_${name})
        set_target_properties(zef_${name} PROPERTIES EXPORT_NAME ${name})
        list(APPEND zef_installed_libraries zef_${name})
    endif()
endforeach()

install(TARGETS ${zef_installed_libraries}
    EXPORT zefTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zef)

# Public headers only: the interfaces and the three controls, not the implementation folders.
file(GLOB zef_common_headers ${PROJECT_SOURCE_DIR}/common/*.h)
file(GLOB zef_component_headers ${PROJECT_SOURCE_DIR}/components/*.h)
install(FILES ${zef_common_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zef/common)
install(FILES ${zef_component_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zef/components)
install(FILES ${PROJECT_SOURCE_DIR}/components/codec/MimeParameters.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zef/components/codec)
install(FILES ${PROJECT_SOURCE_DIR}/smtp/smtpZef.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zef/smtp)
install(FILES ${PROJECT_SOURCE_DIR}/pop/popZef.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zef/pop)
install(FILES ${PROJECT_SOURCE_DIR}/imap/imapZef.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zef/imap)
set(ZEF_HAS_QT OFF)
if(TARGET zef_qt)
    set(ZEF_HAS_QT ON)
    install(FILES ${PROJECT_SOURCE_DIR}/components/qt/QtComponents.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zef/components/qt)
endif()

install(EXPORT zefTargets NAMESPACE zef:: DESTINATION ${ZEF_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/zefConfig.cmake.in
    ${PROJECT_BINARY_DIR}/zefConfig.cmake
    INSTALL_DESTINATION ${ZEF_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zefConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zefConfig.cmake ${PROJECT_BINARY_DIR}/zefConfigVersion.cmake
    DESTINATION ${ZEF_INSTALL_CMAKEDIR})

if(TARGET zefmail)
    install(TARGETS zefmail RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# ICU and OpenSSL as every target links them. zefmail starts once per cron job or per git
# patch, and most of a start of a dynamically linked zefmail is the loader binding the symbols
# of ICU, OpenSSL and libstdc++: a target whose property ZEF_STATIC_DEPS is set links their
# static archives instead. Every other target, and the installed package, link the shared
# libraries.

find_library(ZEF_ICUI18N_ARCHIVE libicui18n.a)
find_library(ZEF_ICUUC_ARCHIVE libicuuc.a)
find_library(ZEF_ICUDATA_ARCHIVE libicudata.a)
find_library(ZEF_SSL_ARCHIVE libssl.a)
find_library(ZEF_CRYPTO_ARCHIVE libcrypto.a)

add_library(zef_static_icu INTERFACE)
add_library(zef_static_openssl INTERFACE)
if(ZEF_ICUI18N_ARCHIVE AND ZEF_ICUUC_ARCHIVE AND ZEF_ICUDATA_ARCHIVE)
    target_link_libraries(zef_static_icu INTERFACE
        ${ZEF_ICUI18N_ARCHIVE} ${ZEF_ICUUC_ARCHIVE} ${ZEF_ICUDATA_ARCHIVE} ${CMAKE_DL_LIBS})
else()
    target_link_libraries(zef_static_icu INTERFACE ICU::i18n ICU::uc ICU::data)
endif()
if(ZEF_SSL_ARCHIVE AND ZEF_CRYPTO_ARCHIVE)
    target_link_libraries(zef_static_openssl INTERFACE
        ${ZEF_SSL_ARCHIVE} ${ZEF_CRYPTO_ARCHIVE} ${CMAKE_DL_LIBS} Threads::Threads)
else()
    target_link_libraries(zef_static_openssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
endif()

# The link item for `shared`: `static` for a target with ZEF_STATIC_DEPS in the build tree.
function(zef_dependency out shared static)
    set(${out}
        "$<BUILD_INTERFACE:$<IF:$<BOOL:$<TARGET_PROPERTY:ZEF_STATIC_DEPS>>,${static},${shared}>>$<INSTALL_INTERFACE:${shared}>"
        PARENT_SCOPE)
endfunction()
zef_dependency(ZEF_ICU_UC ICU::uc zef_static_icu)
zef_dependency(ZEF_ICU_I18N ICU::i18n zef_static_icu)
zef_dependency(ZEF_ICU_DATA ICU::data zef_static_icu)
zef_dependency(ZEF_OPENSSL_CRYPTO OpenSSL::Crypto zef_static_openssl)
zef_dependency(ZEF_OPENSSL_SSL OpenSSL::SSL zef_static_openssl)

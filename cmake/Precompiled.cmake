# Qt's headers take most of the time of compiling any of our files (parsing alone is two thirds of
# it, measured per file). Two precompiled header sets, each built once and reused by every target
# of its kind: product code (with the strict text rules) and tests. GCC passes over a set whose
# macros differ from the target's and reads the headers as text; -Winvalid-pch makes that a
# warning, an error in a KLV_WERROR build, so that no target loses its set unnoticed.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set(_klv_pch_default ON)
else()
    set(_klv_pch_default OFF) # clang refuses a set with other macros instead of passing over it
endif()
option(KLV_PCH "Reuse precompiled Qt headers across targets (GCC)" ${_klv_pch_default})

# Only headers whose text does not depend on which Qt modules a target links: GCC refuses a
# precompiled set when a macro it was built with (such as QT_GUI_LIB) is missing, so each host
# links the modules that every target of its kind links, and QtTest (whose text does depend on
# them) stays out, as does Qt6::Test, which defines a folder of its own for each target.
set(_klv_pch_common
    <algorithm> <functional> <memory> <optional> <vector> <cstdint> <cstring>
    <QByteArray> <QString> <QStringList> <QList> <QHash> <QSet> <QMap> <QVariant>
    <QFile> <QFileInfo> <QDir> <QDirIterator> <QIODevice> <QObject> <QPointer> <QCoreApplication>
    <QDateTime> <QElapsedTimer> <QTimer> <QThread> <QUrl> <QLocale> <QRegularExpression>
    <QScopeGuard> <QProcess> <QTemporaryDir> <QNetworkAccessManager> <QNetworkReply> <QNetworkProxy>)

if(KLV_PCH)
    add_library(klv_pch_product STATIC ${CMAKE_CURRENT_LIST_DIR}/pch-host.cpp)
    target_link_libraries(klv_pch_product PRIVATE Qt6::Core Qt6::Network klv_warnings klv_strict_text)
    target_precompile_headers(klv_pch_product PRIVATE ${_klv_pch_common})
endif()

# klv_precompiled(<kind> <target>...): kind is "product" (targets that link klv_platform and
# klv_strict_text) or "test" (targets that link klv_testsupport).
function(klv_precompiled kind)
    if(NOT KLV_PCH)
        return()
    endif()
    if(kind STREQUAL "test" AND NOT TARGET klv_pch_test)
        add_library(klv_pch_test STATIC ${CMAKE_SOURCE_DIR}/cmake/pch-host.cpp)
        target_link_libraries(klv_pch_test PRIVATE Qt6::Core Qt6::Network Qt6::Sql klv_warnings)
        target_precompile_headers(klv_pch_test PRIVATE ${_klv_pch_common} <QSqlDatabase> <QSqlQuery> <QSqlError>)
    endif()
    foreach(target ${ARGN})
        target_precompile_headers(${target} REUSE_FROM klv_pch_${kind})
        target_compile_options(${target} PRIVATE -Winvalid-pch)
    endforeach()
endfunction()

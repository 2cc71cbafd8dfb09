# Compile settings shared by every target of the project.
add_library(garvina_settings INTERFACE)
target_compile_options(garvina_settings INTERFACE -Wall -Wextra -Wpedantic -Wshadow=local)
if(GARVINA_WERROR)
    target_compile_options(garvina_settings INTERFACE -Werror)
endif()
target_compile_definitions(garvina_settings INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_KEYWORDS
    QT_DISABLE_DEPRECATED_UP_TO=0x060400
)

add_library(zq_ui_spectrum STATIC spectrum_display_dlg.h spectrum_display_dlg.cpp)
target_include_directories(zq_ui_spectrum PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(zq_ui_spectrum PUBLIC zq_toolkit Qt6::Widgets)

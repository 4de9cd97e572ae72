add_library(zq_ui_main STATIC processor_dlg.h processor_dlg.cpp)
target_include_directories(zq_ui_main PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(zq_ui_main PRIVATE ZORIQ1_VERSION="${PROJECT_VERSION}")
target_link_libraries(zq_ui_main PUBLIC zq_ui_functions zq_toolkit zq_dsp Qt6::Widgets)

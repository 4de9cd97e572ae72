add_library(zq_ui_functions STATIC output_choice.h function_dlgs.h function_dlgs.cpp)
target_include_directories(zq_ui_functions PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(zq_ui_functions PUBLIC zq_runners zq_ui_spectrum zq_toolkit zq_engine zq_dsp Qt6::Widgets)

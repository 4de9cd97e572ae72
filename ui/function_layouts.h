#pragma once
// The templates of the three function windows: caption, size and controls in dialog units, each
// control with its id, kind and text, in Tab order.
#include <cstddef>

#include "ui/function_dlgs.h"

inline constexpr int IDCANCEL = 2;  // "Stop &Function", the cancel command

inline constexpr CFunctionDlg::ControlSpec kDirectMappingControls[] = {
    {-1, CFunctionDlg::Static, "This function maps the input to the output without any conversion.", 3, 6, 216, 8},
    {1022, CFunctionDlg::CheckBox, "Spectrum &Display", 3, 18, 78, 12},
    {IDCANCEL, CFunctionDlg::DefaultButton, "Stop &Function", 83, 30, 57, 14},
};

inline constexpr CFunctionDlg::ControlSpec kFirFilterControls[] = {
    {-1, CFunctionDlg::Static, "Number of filter coefficients:", 3, 3, 90, 8},
    {1013, CFunctionDlg::Static, "0", 96, 3, 27, 8},
    {-1, CFunctionDlg::Static, "Filter description:", 3, 15, 66, 8},
    {1011, CFunctionDlg::ReadOnlyEdit, "", 3, 24, 240, 12},
    {1028, CFunctionDlg::CheckBox, "Spectrum Display &Input", 3, 42, 90, 10},
    {1029, CFunctionDlg::CheckBox, "Spectrum Display &Output", 141, 42, 99, 10},
    {IDCANCEL, CFunctionDlg::DefaultButton, "Stop &Function", 95, 57, 57, 14},
};

inline constexpr CFunctionDlg::ControlSpec kUserFirFilterControls[] = {
    {-1, CFunctionDlg::Static, "Filter coefficient file name:", 3, 3, 93, 8},
    {1014, CFunctionDlg::ReadOnlyEdit, "", 3, 12, 237, 12},
    {-1, CFunctionDlg::Static, "Number of filter coefficients read from file:", 3, 27, 138, 8},
    {1013, CFunctionDlg::Static, "0", 144, 27, 27, 8},
    {-1, CFunctionDlg::Static, "Filter description:", 3, 39, 66, 8},
    {1011, CFunctionDlg::ReadOnlyEdit, "", 3, 48, 237, 12},
    {1028, CFunctionDlg::CheckBox, "Spectrum Display &Input", 3, 66, 90, 10},
    {1029, CFunctionDlg::CheckBox, "Spectrum Display &Output", 141, 66, 99, 10},
    {IDCANCEL, CFunctionDlg::DefaultButton, "Stop &Function", 93, 81, 57, 14},
};

template <std::size_t N>
constexpr CFunctionDlg::Layout MakeLayout(const char* caption, int width, int height,
                                          const CFunctionDlg::ControlSpec (&controls)[N]) {
    return {caption, width, height, controls, static_cast<int>(N)};
}

inline constexpr CFunctionDlg::Layout kDirectMappingLayout =
    MakeLayout("ZORIQ1: Direct mapping", 223, 47, kDirectMappingControls);
inline constexpr CFunctionDlg::Layout kFirFilterLayout = MakeLayout("ZORIQ1: FIR filter", 247, 74, kFirFilterControls);
inline constexpr CFunctionDlg::Layout kUserFirFilterLayout =
    MakeLayout("ZORIQ1: User defined FIR filter", 244, 98, kUserFirFilterControls);

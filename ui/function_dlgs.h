#pragma once
// The control windows of the three processing functions. Each is created by the main window with new,
// starts its function while it initialises (before the constructor returns), and ends itself on
// Stop Function, Enter, Escape, the close box or a posted close request, showing its owner again.
// The owner must be a COutputChoice (the main window) for the output choice to be read.
#include "toolkit/toolkit.h"

class CSpectrumDisplayDlg;

class CDirectMappingDlg;   // CDirectMappingDlg(QWidget* owner)
class CFirFilterDlg;       // CFirFilterDlg(int filterIndex, QWidget* owner)
class CUserFirFilterDlg;   // CUserFirFilterDlg(QWidget* owner)

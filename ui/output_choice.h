#pragma once
// The user's output choice, held by the main window and read by the function windows as they start.
#include <QString>

class COutputChoice {
public:
    virtual ~COutputChoice() = default;
    int GetOutputToFile() const { return m_bOutputToFile; }
    QString GetOutputPath() const { return m_strOutputPath; }

    int m_bOutputToFile = 0;
    QString m_strOutputPath;  // set together with m_strOutputFileName: both a chosen file or both empty
    QString m_strOutputFileName;
};

#pragma once
// Writing the program's two filter file formats, and reading what other tools exchange.
#include <string>
#include <vector>

struct BankFilter {
    std::string name;  // at most 127 bytes, shown in the program's list
    std::vector<double> coefficients;
};

// A .fir file: the description line, then one coefficient per line at full precision.
bool WriteFirFile(const std::string& path, const std::string& description, const std::vector<double>& coefficients,
                  std::string& error);

// A .fir file read by the program's own reader; the name is its description, or the file name without
// extension when it has none.
bool ReadFirForBank(const std::string& path, BankFilter& filter, std::string& error);

// A bank the program reads (the layout of dsp/filter_bank.h).
bool WriteBank(const std::string& path, const std::vector<BankFilter>& filters, std::string& error);

// Every filter of a bank, read with the program's own reader.
bool ReadBank(const std::string& path, std::vector<BankFilter>& filters, std::string& error);

// Plain coefficient text, one value per line, '#' comments and blank lines allowed.
bool ImportPlainText(const std::string& path, std::vector<double>& coefficients, std::string& error);

// The readers' result codes in words.
std::string BankReadMessage(int code);
std::string FirReadMessage(int code);

#pragma once
// Limits shared by the two filter file formats.
constexpr int FIR_MAX_COEFFICIENTS = 1000;

# The default filter bank, designed by the tool at build time. The stop-band figures stated in the
# README are checked by the tools' tests.
set(bank_dir ${CMAKE_CURRENT_BINARY_DIR}/default_bank)
file(MAKE_DIRECTORY ${bank_dir})
function(zq_default_filter name)
  set(fir ${bank_dir}/${name}.fir)
  add_custom_command(OUTPUT ${fir}
    COMMAND zoriq1-filter design ${ARGN} -o ${fir}
    DEPENDS zoriq1-filter ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Designing ${name}.fir" VERBATIM)
  set(ZQ_DEFAULT_FIR_FILES ${ZQ_DEFAULT_FIR_FILES} ${fir} CACHE INTERNAL "")
endfunction()

set(ZQ_DEFAULT_FIR_FILES "" CACHE INTERNAL "")
zq_default_filter(lowpass_500 lowpass --cutoff 500 --taps 301 --window blackman
  --description "Low-pass 500 Hz (301 taps, Blackman)")
zq_default_filter(lowpass_1000 lowpass --cutoff 1000 --taps 201 --window blackman
  --description "Low-pass 1000 Hz (201 taps, Blackman)")
zq_default_filter(lowpass_2000 lowpass --cutoff 2000 --taps 101 --window blackman
  --description "Low-pass 2000 Hz (101 taps, Blackman)")
zq_default_filter(highpass_300 highpass --cutoff 300 --taps 301 --window blackman
  --description "High-pass 300 Hz (301 taps, Blackman)")
zq_default_filter(telephone bandpass --low 300 --high 3400 --taps 301 --window blackman
  --description "Telephone band 300-3400 Hz (301 taps, Blackman)")
zq_default_filter(bandpass_1k bandpass --low 900 --high 1100 --taps 401 --window blackman
  --description "Band-pass 1 kHz, 900-1100 Hz (401 taps, Blackman)")
zq_default_filter(hum_50 bandstop --low 30 --high 70 --taps 999 --window hann
  --description "Hum notch 50 Hz, stops 30-70 Hz (999 taps, Hann)")
zq_default_filter(hum_60 bandstop --low 40 --high 80 --taps 999 --window hann
  --description "Hum notch 60 Hz, stops 40-80 Hz (999 taps, Hann)")
zq_default_filter(average_11 average --taps 11 --description "Moving average of 11 samples")

set(ZQ_DEFAULT_BANK ${CMAKE_CURRENT_BINARY_DIR}/FirFilter.fib CACHE INTERNAL "The default filter bank")
add_custom_command(OUTPUT ${ZQ_DEFAULT_BANK}
  COMMAND zoriq1-filter bank -o ${ZQ_DEFAULT_BANK} ${ZQ_DEFAULT_FIR_FILES}
  DEPENDS zoriq1-filter ${ZQ_DEFAULT_FIR_FILES}
  COMMENT "Building the default filter bank" VERBATIM)
add_custom_target(default_bank ALL DEPENDS ${ZQ_DEFAULT_BANK})
# Beside the program, where it looks for it.
install(FILES ${ZQ_DEFAULT_BANK} DESTINATION ${ZQ_INSTALL_PKGLIBDIR})

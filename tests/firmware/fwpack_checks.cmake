# Runs quillon-fwpack on image folders with one fault each and checks that it stops with the
# right message, and that good folders (with or without spiffs.bin and controller.hex) pass.
# cmake -DFWGEN=... -DFWPACK=... -DWORK=... -P fwpack_checks.cmake

file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${FWGEN}" --out "${WORK}/good" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "quillon-fwgen failed: ${rc}")
endif()

# A copy of the good folder with one change. MODE is WRITE or APPEND (or REMOVE).
function(make_case name file mode content)
  file(COPY "${WORK}/good/" DESTINATION "${WORK}/${name}")
  if(mode STREQUAL "REMOVE")
    file(REMOVE "${WORK}/${name}/${file}")
  elseif(mode STREQUAL "WRITE")
    file(WRITE "${WORK}/${name}/${file}" "${content}")
  else()
    file(APPEND "${WORK}/${name}/${file}" "${content}")
  endif()
endfunction()

# expect(<case> <expected exit code> <regex of the message> [extra arguments])
function(expect name code regex)
  file(REMOVE_RECURSE "${WORK}/${name}-out")
  execute_process(COMMAND "${FWPACK}" --in "${WORK}/${name}" --out "${WORK}/${name}-out" ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL code OR NOT "${out}${err}" MATCHES "${regex}")
    message(FATAL_ERROR "${name}: exit ${rc} (want ${code}), output:\n${out}${err}\nwanted: ${regex}")
  endif()
  if(code EQUAL 0)
    file(SIZE "${WORK}/${name}-out/FW_FILE_141.bin" size)
    if(NOT size EQUAL 1000000)
      message(FATAL_ERROR "${name}: FW_FILE_141.bin has ${size} bytes")
    endif()
  elseif(EXISTS "${WORK}/${name}-out")
    message(FATAL_ERROR "${name}: wrote output although it failed")
  endif()
  message(STATUS "${name}: ok")
endfunction()

expect(good 0 "FW_FILE 140: 1314695 bytes; model 1160, version 350, variant 0, 0x404010-0x4762AC, 8 blocks" --version 0350)

string(REPEAT "A" 999984 too_large)
make_case(too_large bootloader.bin WRITE "${too_large}")
expect(too_large 1 "bootloader.bin \\(FW_FILE 141\\): 999984 bytes are too many" --version 0350)

string(REPEAT "A" 999983 just_fits)
make_case(just_fits bootloader.bin WRITE "${just_fits}")
expect(just_fits 0 "FW_FILE 141: 999983 bytes" --version 0350)

make_case(run_of_zeros application.bin APPEND "00000000000000000X")
expect(run_of_zeros 1 "application.bin \\(FW_FILE 144\\): holds a run of 17 '0' bytes at offset 590736" --version 0350)

make_case(sixteen_zeros application.bin APPEND "0000000000000000X")
expect(sixteen_zeros 0 "FW_FILE 144: 590753 bytes" --version 0350)

make_case(trailing_zero partitions.bin APPEND "0")
expect(trailing_zero 1 "partitions.bin \\(FW_FILE 142\\): ends in '0' bytes" --version 0350)

make_case(missing application.bin REMOVE "")
expect(missing 1 "application.bin \\(FW_FILE 144\\): missing" --version 0350)

make_case(no_spiffs spiffs.bin REMOVE "")
expect(no_spiffs 0 "FW_FILE 145: 21 bytes; placeholder" --version 0350)

expect(good 1 "carries firmware version 350, configure with -DQUILLON_FIRMWARE_VERSION=0350" --version 0412)

make_case(esp32_only controller.hex REMOVE "")
expect(esp32_only 0 "FW_FILE 140: 0 bytes; no controller image" --version 0412 --esp32-only)
expect(good 1 "present, but the build was configured without controller image" --version 0350 --esp32-only)

make_case(no_version controller.hex WRITE ":020000040040BA\r\n:10410000000102030405060708090A0B0C0D0E0F37\r\n:00000001FF\r\n")
expect(no_version 1 "no complete version block" --version 0350)

make_case(bad_record controller.hex WRITE ":020000040040BA\r\n:0640100088045E010000BF\r\n:0441000001020304AA\r\n:00000001FF\r\n")
expect(bad_record 1 "controller.hex \\(FW_FILE 140\\): record error in line 3" --version 0350)

# After the version block a jump to 0xF0000000: the blocks would fill nearly 4 GB with 0xFF.
make_case(far_jump controller.hex WRITE ":020000040040BA\r\n:0640100088045E010000BF\r\n:02000004F0000A\r\n:10000000000102030405060708090A0B0C0D0E0F78\r\n:00000001FF\r\n")
expect(far_jump 1 "controller.hex \\(FW_FILE 140\\): record error in line 4 \\(or data below an address already written, past 0xFFFFFFFF or beyond the controller's flash of 1024 KiB\\)" --version 0350)

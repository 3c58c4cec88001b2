# The export table of the shared library holds exactly the six host functions,
# read with the toolchain's own tools: nm on an ELF library, objdump on a DLL.
#
#   cmake -DLIBRARY=FILE -DTOOL=NM-OR-OBJDUMP -DFORMAT=elf|pe -P exports.cmake
set(expected
  _Z13QAIFreeObjectP10IQAIObject
  _Z19QAIRegisterCallbackPFvPKcPvE
  _Z18QAISetHTTPSettingsRK20CMRestGlobalSettings
  _ZN27QAICallbackLocalizationInfoaSERKS_
  _ZN27QAICallbackLocalizationInfoaSEOS_
  _Z18QAICreateAssistant16QAIAssistantTypeP17ICSHTTPPoolCenterRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES9_P19IQAIAssistantMemory)

if(FORMAT STREQUAL "pe")
  set(arguments -p)
else()
  set(arguments -D --defined-only)
endif()
execute_process(COMMAND ${TOOL} ${arguments} ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${TOOL} ${arguments} ${LIBRARY} failed")
endif()

set(exported)
string(REPLACE "\r" "" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
if(FORMAT STREQUAL "pe")
  # The names are the last field of the rows after "[Ordinal/Name Pointer] Table",
  # up to the blank line that ends that table.
  set(inTable FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*\\[Ordinal/Name Pointer\\] Table")
      set(inTable TRUE)
    elseif(inTable AND line MATCHES "^[ \t]*\\[ *[0-9]+\\].*[ \t]([^ \t]+)$")
      list(APPEND exported ${CMAKE_MATCH_1})
    elseif(inTable AND line STREQUAL "")
      break()
    endif()
  endforeach()
else()
  # "ADDRESS TYPE NAME[@VERSION]"; version nodes show as absolute (A) symbols and are no code.
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ @]+)[^ ]*$" AND NOT CMAKE_MATCH_1 STREQUAL "A")
      list(APPEND exported ${CMAKE_MATCH_2})
    endif()
  endforeach()
endif()

list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
  string(REPLACE ";" "\n  " exported "${exported}")
  string(REPLACE ";" "\n  " expected "${expected}")
  message(FATAL_ERROR "${LIBRARY} exports\n  ${exported}\ninstead of\n  ${expected}")
endif()

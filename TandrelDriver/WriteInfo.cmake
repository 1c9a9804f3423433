# Writes the bundle's Info.json: SOURCES (files separated by "|"), TEMPLATE, OUTPUT, VERSION, BUILD.
# The source hash covers each file's name and contents in name order, so it is the same on every
# machine for the same sources.
string(REPLACE "|" ";" SOURCES "${SOURCES}")
list(SORT SOURCES)
set(digest_input "")
foreach(file ${SOURCES})
  get_filename_component(name ${file} NAME)
  file(SHA256 ${file} file_hash)
  string(APPEND digest_input "${name} ${file_hash}\n")
endforeach()
string(SHA256 SOURCE_HASH "${digest_input}")
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)

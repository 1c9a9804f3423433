# Checks the built bundle: the module exports TandrelDriver_Create and nothing else, takes the
# property-list functions from the shared library the server loads instead of carrying a copy of its own,
# and Info.json carries the bundle identifier, the factory and a source hash. BUNDLE is the .driver
# directory.
set(module ${BUNDLE}/Contents/Linux/TandrelDriver.so)
execute_process(COMMAND nm -D --defined-only ${module} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${module}")
endif()
string(REGEX REPLACE "[0-9a-fA-F]+ [A-Za-z] " "" names "${symbols}")
string(STRIP "${names}" names)
if(NOT names STREQUAL "TandrelDriver_Create")
  message(FATAL_ERROR "exported symbols other than the factory:\n${symbols}")
endif()

# Values cross between the server and the driver; one copy of the code that makes and reads them.
execute_process(COMMAND nm -D --undefined-only ${module} OUTPUT_VARIABLE imported RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT imported MATCHES " PLRetain\n" OR NOT imported MATCHES " PLDictionaryCreate\n")
  message(FATAL_ERROR "the module does not take the property-list functions from the shared library:\n${imported}")
endif()
execute_process(COMMAND readelf -d ${module} OUTPUT_VARIABLE dynamic RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT dynamic MATCHES "NEEDED[^\n]*libTandrelPropertyList\\.so")
  message(FATAL_ERROR "the module does not load the property-list library:\n${dynamic}")
endif()

file(READ ${BUNDLE}/Contents/Info.json info)
string(JSON identifier GET "${info}" CFBundleIdentifier)
string(JSON hash GET "${info}" TDDriverSourceHash)
string(JSON factory GET "${info}" CFPlugInFactories "6F3A1C52-8E0B-4D7A-9B61-2C5E7D4F9A13")
string(JSON types GET "${info}" CFPlugInTypes "443ABAB8-E7B3-491A-B985-BEB9187030DB")
if(NOT identifier STREQUAL "qorvix.tandrel.driver" OR NOT hash MATCHES "^[0-9a-f]+$" OR
   NOT factory STREQUAL "TandrelDriver_Create" OR NOT types MATCHES "6F3A1C52")
  message(FATAL_ERROR "Info.json is incomplete:\n${info}")
endif()

# USB link, libusb binding and hotplug agent, all against the libusb double.
pobrid_add_test(tst_usbworker SOURCES tst_usbworker.cpp LIBS pobrid_usb fakeusb)
pobrid_add_test(tst_hotplugagent SOURCES tst_hotplugagent.cpp LIBS pobrid_usb fakeusb)

# The binding's load paths: one copy of the same test program per libusb found beside it.
function(pobrid_usblib_test name variant dir)
  pobrid_add_test(${name} SOURCES tst_usblib.cpp LIBS pobrid_usb)
  target_compile_definitions(${name} PRIVATE USBLIB_VARIANT=${variant})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${dir})
  if(ARGN)
    add_dependencies(${name} ${ARGN})
  endif()
endfunction()
pobrid_usblib_test(tst_usblib 0 ${POBRID_TEST_BIN_DIR} fakeusb)
pobrid_usblib_test(tst_usblib_missing 1 ${POBRID_TEST_BIN_DIR}/nolibusb)
pobrid_usblib_test(tst_usblib_nohotplug 2 ${POBRID_TEST_BIN_DIR}/nohotplug fakeusb_nohotplug)
pobrid_usblib_test(tst_usblib_nostrerror 3 ${POBRID_TEST_BIN_DIR}/nostrerror fakeusb_nostrerror)
pobrid_add_test(tst_fakeusbcontrol SOURCES tst_fakeusbcontrol.cpp LIBS pobrid_usb fakeusb Qt6::Network)

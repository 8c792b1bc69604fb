# USB link, libusb binding and hotplug agent, all against the libusb double.
pobrid_add_test(tst_usbworker SOURCES tst_usbworker.cpp LIBS pobrid_usb fakeusb)

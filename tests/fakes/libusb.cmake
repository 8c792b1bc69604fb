# The libusb double: a shared library named exactly libusb-1.0.so.0, placed
# beside the test programs, where the binding looks for it. Two more variants,
# each in a directory of its own, lack the hotplug functions or libusb_strerror.
find_package(Threads REQUIRED)

function(pobrid_fake_libusb target dir)
  add_library(${target} SHARED ${CMAKE_CURRENT_LIST_DIR}/fakeusb.cpp)
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${LIBUSB_INCLUDE_DIR})
  target_link_libraries(${target} PRIVATE Threads::Threads)
  target_compile_definitions(${target} PRIVATE ${ARGN})
  set_target_properties(${target} PROPERTIES
    AUTOMOC OFF
    OUTPUT_NAME usb-1.0
    SOVERSION 0
    LIBRARY_OUTPUT_DIRECTORY ${dir})
endfunction()

pobrid_fake_libusb(fakeusb ${POBRID_TEST_BIN_DIR})
pobrid_fake_libusb(fakeusb_nohotplug ${POBRID_TEST_BIN_DIR}/nohotplug FAKEUSB_NO_HOTPLUG)
pobrid_fake_libusb(fakeusb_nostrerror ${POBRID_TEST_BIN_DIR}/nostrerror FAKEUSB_NO_STRERROR)

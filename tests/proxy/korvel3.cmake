# Protocol-3 packets and the protocol-3 serial proxy.
pobrid_add_test(tst_korvel3codec SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_korvel3codec.cpp LIBS pobrid_proxy3)
pobrid_add_test(tst_comproxykorvel3 SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_comproxykorvel3.cpp LIBS pobrid_proxy3)

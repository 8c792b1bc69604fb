# The protocol-2 link exchange and the protocol-2 proxy.
pobrid_add_test(tst_korvel2link SOURCES tst_korvel2link.cpp LIBS pobrid_proxy2)
pobrid_add_test(tst_comproxykorvel2 SOURCES tst_comproxykorvel2.cpp korvel2peer.cpp LIBS pobrid_proxy2)

# The protocol-2 link exchange and the protocol-2 proxy.
pobrid_add_test(tst_korvel2link SOURCES tst_korvel2link.cpp LIBS pobrid_proxy2)

pobrid_add_test(tst_tlvcodec SOURCES tst_tlvcodec.cpp LIBS pobrid_ofd)
pobrid_add_test(tst_tcpworker SOURCES tst_tcpworker.cpp LIBS pobrid_ofd)
pobrid_add_test(tst_ofdworker SOURCES tst_ofdworker.cpp LIBS pobrid_ofd)

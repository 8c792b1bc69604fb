# The COM-port link.
pobrid_add_test(tst_serialworker SOURCES tst_serialworker.cpp LIBS pobrid_comlink)

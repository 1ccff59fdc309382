// Creating and releasing the connection record.
#include <gtest/gtest.h>

#include "support/faults.h"
#include "test_connection.h"

namespace {

TEST(ConnectionRecord, FreshRecordIsIdleWithZeroedBuffers) {
    Connection conn = make_connection(256, CONN_NO_WAIT);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn->on_reply, nullptr);
    EXPECT_EQ(conn->result, RC_OK);
    EXPECT_EQ(conn->collect_names, 1);
    EXPECT_EQ(conn->sent_all, 0);
    EXPECT_EQ(conn->recv_len, 0u);
    EXPECT_EQ(conn->send_len, 0u);
    EXPECT_EQ(conn->recv_size, 256u);
    EXPECT_EQ(conn->send_size, 256u);
    EXPECT_EQ(conn->flags, CONN_NO_WAIT);
    EXPECT_EQ(conn->key_list, nullptr);
    EXPECT_LT(conn->sock, 0) << "no descriptor is owned before conn_open";
    for (uint32_t i = 0; i < 256; ++i) {
        ASSERT_EQ(conn->recv_buf[i], 0);
        ASSERT_EQ(conn->send_buf[i], 0);
    }
}

TEST(ConnectionRecord, FailedAllocationReleasesEverythingTakenBefore) {
    for (int successes = 0; successes < 3; ++successes) {
        faults::track_allocations();
        faults::fail_malloc_after(successes);
        ServerConnection *conn = conn_create(8192, 1, 1, 0);
        faults::fail_malloc_after(-1);
        EXPECT_EQ(conn, nullptr) << successes;
        EXPECT_EQ(faults::live_allocations(), 0) << successes;
        faults::reset();
    }
}

TEST(ConnectionRecord, EmptyBufferSizeIsRefused) {
    EXPECT_EQ(conn_create(0, 1, 1, 0), nullptr);
}

TEST(ConnectionRecord, FreeWithoutRecordIsABadArgument) {
    EXPECT_EQ(conn_free(nullptr), 0x80000008u);
}

TEST(ConnectionRecord, ResultCodesKeepTheirValuesAndFailuresHaveBit31) {
    const ResultCode failures[] = {RC_ENV_REFUSED,
                                   RC_SCAN_525,
                                   RC_COMMAND_TOO_LONG,
                                   RC_BAD_ARGUMENT,
                                   RC_NO_MEMORY,
                                   RC_BUSY,
                                   RC_CONNECT_FAILED,
                                   RC_TIMEOUT,
                                   RC_READ_FAILED,
                                   RC_WRITE_FAILED,
                                   RC_PROTOCOL_ERROR,
                                   RC_VERSION_MISMATCH,
                                   RC_SERVER_OVERLOADED,
                                   RC_COPY_READ_FAILED,
                                   RC_CHECKSUM_MISMATCH,
                                   RC_NO_TEMP_FILE,
                                   RC_SCAN_532,
                                   RC_CLIENT_NOT_ALLOWED,
                                   RC_ENV_202};
    const ResultCode values[] = {0x80000001, 0x80000002, 0x80000007, 0x80000008, 0x8000000e,
                                 0x80000013, 0x80000015, 0x80000016, 0x80000017, 0x80000018,
                                 0x80000019, 0x8000001a, 0x8000001b, 0x8000001c, 0x8000001d,
                                 0x8000001f, 0x80000020, 0x80000021, 0x80000022};
    for (size_t i = 0; i < std::size(failures); ++i) {
        EXPECT_EQ(failures[i], values[i]);
        EXPECT_TRUE(RC_FAILED(failures[i]));
    }
    EXPECT_FALSE(RC_FAILED(RC_OK));
}

} // namespace

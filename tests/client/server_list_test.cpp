// The server list: its syntax, the order in which it offers servers, down
// marks and their revival, use from several threads, and conn_open_list.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "client/server_list.h"
#include "support/faults.h"
#include "test_connection.h"

namespace {

struct ListFree {
    void operator()(ServerList *list) const { server_list_free(list); }
};
using List = std::unique_ptr<ServerList, ListFree>;

List parse(const char *text) {
    ServerList *list = nullptr;
    EXPECT_EQ(server_list_parse(text, &list, nullptr), RC_OK) << text;
    return List(list);
}

TEST(ServerList, KeepsTheItemsInOrderAndNamesTheFirstBadOne) {
    List list = parse("/run/a.sock,host:9001,[::1]:9002,10.0.0.1");
    ASSERT_EQ(server_list_size(list.get()), 4u);
    EXPECT_STREQ(server_list_address(list.get(), 0), "/run/a.sock");
    EXPECT_STREQ(server_list_address(list.get(), 2), "[::1]:9002");
    EXPECT_STREQ(server_list_address(list.get(), 3), "10.0.0.1");
    EXPECT_EQ(server_list_address(list.get(), 4), nullptr);
    EXPECT_EQ(server_list_size(parse("one").get()), 1u);

    struct Bad {
        const char *text;
        ServerListError where;
    };
    for (const Bad &bad : {Bad{"", {0, 0, 0}}, Bad{"a,,b", {1, 2, 0}}, Bad{"a,b,", {2, 4, 0}},
                           Bad{"a,host:0,c", {1, 2, 6}}, Bad{"[::1,x", {0, 0, 4}},
                           Bad{"a, b", {1, 2, 2}}, Bad{",a", {0, 0, 0}}}) {
        ServerList *list_out = reinterpret_cast<ServerList *>(1);
        ServerListError error{99, 99, 99};
        EXPECT_EQ(server_list_parse(bad.text, &list_out, &error), RC_BAD_ARGUMENT) << bad.text;
        EXPECT_EQ(list_out, nullptr) << bad.text;
        EXPECT_EQ(error.item, bad.where.item) << bad.text;
        EXPECT_EQ(error.offset, bad.where.offset) << bad.text;
        EXPECT_EQ(error.length, bad.where.length) << bad.text;
    }
    ServerList *none = nullptr;
    EXPECT_EQ(server_list_parse(nullptr, &none, nullptr), RC_BAD_ARGUMENT);
    EXPECT_EQ(server_list_parse("a", nullptr, nullptr), RC_BAD_ARGUMENT);
    EXPECT_EQ(server_list_size(nullptr), 0u);
    server_list_free(nullptr);
}

TEST(ServerList, OffersServersInTurnOrFromAnIndexSkippingDownOnes) {
    List list = parse("a,b,c");
    ServerList *l = list.get();
    EXPECT_EQ(server_list_next(l), 0);
    EXPECT_EQ(server_list_next(l), 1);
    EXPECT_EQ(server_list_next(l), 2);
    EXPECT_EQ(server_list_next(l), 0);
    server_list_mark_down(l, 2);
    EXPECT_EQ(server_list_next(l), 1);
    EXPECT_EQ(server_list_next(l), 0) << "c is skipped";
    EXPECT_EQ(server_list_first_live(l, 2), 0) << "wraps around";
    EXPECT_EQ(server_list_first_live(l, 1), 1);
    EXPECT_EQ(server_list_next(l), 1) << "first_live does not move the turn";
    server_list_mark_down(l, 0);
    server_list_mark_down(l, 1);
    EXPECT_EQ(server_list_next(l), -1);
    EXPECT_EQ(server_list_first_live(l, 0), -1);
    server_list_mark_up(l, 2);
    EXPECT_EQ(server_list_next(l), 2);
    EXPECT_EQ(server_list_first_live(l, 3), -1) << "beyond the list";
    server_list_mark_down(l, 7); // ignored
    EXPECT_EQ(server_list_next(nullptr), -1);
}

TEST(ServerList, ADownServerIsOfferedAgainOnceItsReviveTimeHasPassed) {
    List list = parse("a,b");
    server_list_set_revive(list.get(), 0);
    server_list_mark_down(list.get(), 0);
    EXPECT_EQ(server_list_first_live(list.get(), 0), 0) << "no revive time";
    server_list_set_revive(list.get(), 1);
    server_list_mark_down(list.get(), 0);
    EXPECT_EQ(server_list_first_live(list.get(), 0), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    EXPECT_EQ(server_list_first_live(list.get(), 0), 0);
}

TEST(ServerList, ThreadsPickAndMarkAtOnce) {
    List list = parse("a,b,c,d,e");
    server_list_set_revive(list.get(), 0);
    std::atomic<int> out_of_range{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5000; ++i) {
                int32_t index =
                    i % 2 == 0 ? server_list_next(list.get())
                               : server_list_first_live(list.get(), static_cast<uint32_t>(i % 5));
                if (index < -1 || index >= 5) ++out_of_range;
                if (index < 0) continue;
                if ((i + t) % 3 == 0) {
                    server_list_mark_down(list.get(), static_cast<uint32_t>(index));
                } else {
                    server_list_mark_up(list.get(), static_cast<uint32_t>(index));
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(out_of_range.load(), 0);
    EXPECT_GE(server_list_next(list.get()), 0) << "with no revive time every server is live";
}

struct Failure {
    uint32_t index;
    std::string address;
    ResultCode code;
};

void note_failure(void *context, uint32_t index, const char *address, ResultCode code) {
    static_cast<std::vector<Failure> *>(context)->push_back({index, address, code});
}

TEST(ServerList, OpenListMovesOnToTheNextServerAndReportsEachOneThatFailed) {
    FakeServer overloaded;
    overloaded.send("401 busy\r\n");
    FakeServer good;
    good.send(FakeServer::greeting());
    overloaded.start();
    good.start();
    std::string text = "/nonexistent/orva.sock," + overloaded.address() + "," + good.address();
    List list = parse(text.c_str());

    Connection conn = make_connection();
    std::vector<Failure> failures;
    uint32_t opened = 99;
    EXPECT_EQ(conn_open_list(conn.get(), list.get(), 0, 1, note_failure, &failures, &opened),
              RC_OK);
    EXPECT_EQ(opened, 2u);
    EXPECT_EQ(conn->db_records, 123456u);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].index, 0u);
    EXPECT_EQ(failures[0].code, RC_CONNECT_FAILED);
    EXPECT_EQ(failures[1].address, overloaded.address());
    EXPECT_EQ(failures[1].code, RC_SERVER_OVERLOADED);
    EXPECT_EQ(server_list_next(list.get()), 2) << "the two that failed are down";
    conn_close(conn.get());

    // None works: the first failure's code, and the record holds no socket.
    List dead = parse("/nonexistent/a.sock,/nonexistent/b.sock");
    failures.clear();
    EXPECT_EQ(conn_open_list(conn.get(), dead.get(), 1, 1, note_failure, &failures, nullptr),
              RC_CONNECT_FAILED);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].index, 1u) << "from the index given";
    EXPECT_EQ(conn->sock, -1);
    // Every server is down now: the one that revives first is still tried.
    failures.clear();
    EXPECT_EQ(conn_open_list(conn.get(), dead.get(), 0, 1, note_failure, &failures, nullptr),
              RC_CONNECT_FAILED);
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_EQ(conn_open_list(nullptr, dead.get(), 0, 1, nullptr, nullptr, nullptr),
              RC_BAD_ARGUMENT);
}

} // namespace

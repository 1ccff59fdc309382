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
    EXPECT_STREQ(server_list_address(list.get(), 2), "[::1]:9002");
    EXPECT_EQ(server_list_address(list.get(), 4), nullptr);
    // Each bad text, and the item, offset and length that it names.
    const std::pair<const char *, std::vector<uint32_t>> bad[] = {
        {"", {0, 0, 0}},           {"a,,b", {1, 2, 0}},   {"a,b,", {2, 4, 0}},
        {"a,host:0,c", {1, 2, 6}}, {"[::1,x", {0, 0, 4}}, {"a, b", {1, 2, 2}}};
    for (const auto &[text, where] : bad) {
        ServerList *none = nullptr;
        ServerListError error{};
        EXPECT_EQ(server_list_parse(text, &none, &error), RC_BAD_ARGUMENT) << text;
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ((std::vector<uint32_t>{error.item, error.offset, error.length}), where) << text;
    }
}

TEST(ServerList, OffersServersInTurnOrFromAnIndexAndRevivesDownOnes) {
    List list = parse("a,b,c");
    ServerList *l = list.get();
    std::vector<int32_t> picked;
    for (int i = 0; i < 4; ++i)
        picked.push_back(server_list_next(l));
    server_list_mark_down(l, 2);
    picked.push_back(server_list_next(l));
    picked.push_back(server_list_next(l));          // c is skipped
    picked.push_back(server_list_first_live(l, 2)); // wraps around, turn unmoved
    picked.push_back(server_list_next(l));
    EXPECT_EQ(picked, (std::vector<int32_t>{0, 1, 2, 0, 1, 0, 0, 1}));
    server_list_mark_down(l, 0);
    server_list_mark_down(l, 1);
    EXPECT_EQ(server_list_next(l), -1);
    server_list_mark_up(l, 2);
    EXPECT_EQ(server_list_first_live(l, 0), 2);

    server_list_set_revive(l, 1);
    server_list_mark_down(l, 2);
    EXPECT_EQ(server_list_first_live(l, 0), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    EXPECT_EQ(server_list_first_live(l, 0), 2) << "offered again after the revive time";
}

TEST(ServerList, ThreadsPickAndMarkAtOnce) {
    List list = parse("a,b,c,d,e");
    server_list_set_revive(list.get(), 0);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t i = 0; i < 5000; ++i) {
                int32_t index = i % 2 == 0 ? server_list_next(list.get())
                                           : server_list_first_live(list.get(), i % 5);
                // With no revive time every server is always live.
                if (index < 0 || index >= 5) ++wrong;
                if ((i + t) % 3 == 0) server_list_mark_down(list.get(), i % 5);
                if ((i + t) % 3 == 1) server_list_mark_up(list.get(), i % 5);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
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
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].code, RC_CONNECT_FAILED);
    EXPECT_EQ(failures[1].address, overloaded.address());
    EXPECT_EQ(failures[1].code, RC_SERVER_OVERLOADED);
    EXPECT_EQ(server_list_next(list.get()), 2) << "the two that failed are down";
    conn_close(conn.get());

    // None works: the first failure's code; with every server down, the one
    // that revives first is still tried.
    List dead = parse("/nonexistent/a.sock,/nonexistent/b.sock");
    failures.clear();
    EXPECT_EQ(conn_open_list(conn.get(), dead.get(), 1, 1, note_failure, &failures, nullptr),
              RC_CONNECT_FAILED);
    EXPECT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].index, 1u) << "from the index given";
    EXPECT_EQ(conn_open_list(conn.get(), dead.get(), 0, 1, note_failure, &failures, nullptr),
              RC_CONNECT_FAILED);
    EXPECT_EQ(failures.size(), 3u);
    EXPECT_EQ(conn->sock, -1);
}

} // namespace

// The HTTP service and its clients against the loopback server.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "KHttpService.h"
#include "download_test_hooks.h"
#include "event_loop.h"
#include "http_test_util.h"
#include "loopback_http_server.h"
#include "qn_test_env.h"

namespace {

using namespace qn::test;
using namespace qn::test::http_step;
using qn::httptest::RecordingHandler;
using qn::httptest::Slot;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;


class HttpServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qn::testing::CoreStart());
        service = new KHttpService;
        service->AddRef();
        ASSERT_EQ(service->init(), S_OK);
        server.addContent("/a", "abc");
        server.addResource("/silent", 10);
        server.script("/silent", LoopbackHttpServer::kAnyIndex, {Silent()});
    }
    void TearDown() override {
        if (service) {
            service->uninit();
            service->Release();
        }
        qn::testing::CoreStop();
    }
    IKHttpClient* create(IKHttpResponseHandler* handler, bool async, const std::string& path = "/a",
                         int32_t method = KHTTP_METHOD_GET) {
        IKHttpClient* client = nullptr;
        EXPECT_EQ(service->createClient(1024, method, server.url(path).c_str(), handler, async, &client), S_OK);
        return client;
    }

    LoopbackHttpServer server;
    KHttpService* service = nullptr;
};

TEST_F(HttpServiceTest, CreateClientRefusesWhatTheRequestCannotBe) {
    struct Case {
        const char* name;
        uint32_t bufSize;
        int32_t method;
        std::string url;
    };
    const std::vector<Case> cases = {
        {"method 0", 1024, 0, server.url("/a")},
        {"method 4", 1024, 4, server.url("/a")},
        {"https", 1024, KHTTP_METHOD_GET, "https://127.0.0.1/a"},
        {"no host", 1024, KHTTP_METHOD_GET, "http:///a"},
        {"request line too long", 10, KHTTP_METHOD_GET, server.url("/a")},
    };
    std::atomic<int> destroyed{0};
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        auto* handler = new RecordingHandler(Slot::None, &destroyed);
        handler->AddRef();
        IKHttpClient* untouched = reinterpret_cast<IKHttpClient*>(0x1234);
        IKHttpClient* client = untouched;
        EXPECT_EQ(service->createClient(tc.bufSize, tc.method, tc.url.c_str(), handler, false, &client), E_FAIL);
        EXPECT_EQ(client, untouched);
        handler->Release();
    }
    // The failed clients gave their handler references back.
    EXPECT_EQ(destroyed.load(), (int)cases.size());
    EXPECT_EQ(service->createClient(1024, KHTTP_METHOD_GET, server.url("/a").c_str(), nullptr, false, nullptr),
              E_INVALIDARG);
}

TEST_F(HttpServiceTest, InterfacesAnswerOnlyTheirOwnIid) {
    IKHttpClient* client = create(nullptr, false);
    ASSERT_NE(client, nullptr);
    struct Case {
        IUnknown* object;
        QN_GUID iid;
        HRESULT expected;
    };
    const QN_GUID random = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    const std::vector<Case> cases = {
        {service, IID_IKHttpService, S_OK},    {service, IID_IUnknown, E_NOINTERFACE},
        {service, IID_IKHttpClient, E_NOINTERFACE}, {service, random, E_NOINTERFACE},
        {client, IID_IKHttpClient, S_OK},      {client, IID_IUnknown, E_NOINTERFACE},
        {client, IID_IKHttpService, E_NOINTERFACE},
    };
    for (const auto& tc : cases) {
        void* out = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(tc.object->QueryInterface(tc.iid, &out), tc.expected);
        if (tc.expected == S_OK) {
            EXPECT_EQ(out, tc.object);
            // The answer carries a reference: one more Release balances it.
            EXPECT_GT(tc.object->Release(), 0u);
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
    EXPECT_EQ(client->Release(), 0u);
}

TEST_F(HttpServiceTest, ClientStateRules) {
    auto* handler = new RecordingHandler;
    handler->AddRef();
    IKHttpClient* client = create(handler, false, "/silent");
    EXPECT_TRUE(client->wait(0));  // not running yet
    EXPECT_EQ(client->cancel(), E_FAIL);
    EXPECT_EQ(client->addHeader("X-A", "1"), S_OK);
    EXPECT_EQ(client->setBody("hello", 5), S_OK);
    EXPECT_EQ(client->addHeader("X-B", "2"), E_FAIL);

    // A synchronous execute on another thread, cancelled while the server stalls.
    std::thread runner([&] { EXPECT_EQ(client->execute(), S_OK); });
    ASSERT_TRUE(server.waitForRequests(1, 5000));
    EXPECT_FALSE(client->wait(50));
    EXPECT_EQ(client->cancel(), S_OK);
    runner.join();
    EXPECT_TRUE(client->wait(0));
    EXPECT_EQ(static_cast<KHttpClient*>(client)->request().getClientError(), KHTTP_CE_CANCELLED);
    EXPECT_EQ(handler->count("error"), 1);
    EXPECT_EQ(server.requests()[0].body, "hello");
    EXPECT_EQ(server.requests()[0].header("X-A"), "1");
    EXPECT_EQ(client->execute(), E_FAIL);  // a finished client is not run again
    EXPECT_EQ(client->Release(), 0u);
    handler->Release();
}

TEST_F(HttpServiceTest, SynchronousExecuteReturnsAfterTheHandlerEndsOnTheLoopThread) {
    struct Case {
        const char* name;
        Slot refuse;
        const char* last;
    };
    const std::vector<Case> cases = {
        {"success", Slot::None, "end"},
        {"status refused", Slot::Status, "error"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        auto* handler = new RecordingHandler(tc.refuse);
        handler->AddRef();
        IKHttpClient* client = create(handler, false);
        EXPECT_EQ(client->execute(), S_OK);
        auto events = handler->events();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back(), tc.last);
        uint32_t loopThread = EventLoop::instance().threadId();
        for (uint32_t t : handler->threads()) EXPECT_EQ(t, loopThread);
        EXPECT_NE(loopThread, QN_GetCurrentThreadId());
        client->Release();
        handler->Release();
    }
}

TEST_F(HttpServiceTest, SynchronousExecuteOnTheLoopThreadIsRefused) {
    IKHttpClient* client = create(nullptr, false);
    Event done(true);
    HRESULT hr = S_OK;
    EventLoop::instance().post([&](LoopCore*, bool) {
        hr = client->execute();
        done.set();
    });
    ASSERT_TRUE(done.wait(5000));
    EXPECT_EQ(hr, E_FAIL);
    client->Release();
}

// The owner releases the client straight after a synchronous execute, while the loop thread
// may still be finishing the refused response.
TEST_F(HttpServiceTest, ReleaseRightAfterARefusedSynchronousExecute) {
    server.addResource("/r", 3000);
    server.script("/r", LoopbackHttpServer::kAnyIndex, {Header("X-B", "2")});
    const Slot slots[] = {Slot::Status, Slot::Header, Slot::HeadersComplete, Slot::Body};
    std::atomic<int> destroyed{0};
    std::atomic<int> wrongEnd{0};
    const int kThreads = 20, kEach = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                auto* handler = new RecordingHandler(slots[(t + i) % 4], &destroyed);
                handler->AddRef();
                IKHttpClient* client = nullptr;
                if (service->createClient(1024, KHTTP_METHOD_GET, server.url("/r").c_str(), handler, false, &client) != S_OK) {
                    wrongEnd++;
                    handler->Release();
                    continue;
                }
                client->execute();
                client->Release();
                if (handler->count("error") != 1 || handler->count("end") != 0) wrongEnd++;
                handler->Release();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrongEnd.load(), 0);
    EXPECT_EQ(destroyed.load(), kThreads * kEach);
}

TEST_F(HttpServiceTest, HandedOverClientsAreReleasedAboutASecondAfterTheyEnd) {
    struct Case {
        const char* name;
        const char* path;
    };
    server.script("/a", LoopbackHttpServer::kAnyIndex, {});
    server.addContent("/err", "x");
    server.script("/err", LoopbackHttpServer::kAnyIndex, {Status(500)});
    const std::vector<Case> cases = {{"success", "/a"}, {"server error", "/err"}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        auto* handler = new RecordingHandler;
        handler->AddRef();
        IKHttpClient* client = create(handler, true, tc.path, KHTTP_METHOD_POST);
        ASSERT_EQ(client->setBody("report", 6), S_OK);
        ASSERT_EQ(client->execute(), S_OK);
        ASSERT_EQ(service->addClient(client), S_OK);
        ASSERT_TRUE(WaitUntil([&] { return handler->endings() == 1; }));
        // The client's reference on the handler goes with the client. Held clients are looked
        // at once a second: one that ended is gone well within ten.
        ASSERT_TRUE(WaitUntil([&] { return handler->refs() == 1; }, 10000));
        EXPECT_EQ(service->heldCount(), 0u);
        handler->Release();
    }
}

TEST_F(HttpServiceTest, AddClientRefusesNullAndGivesBackADuplicateReference) {
    EXPECT_EQ(service->addClient(nullptr), E_INVALIDARG);
    auto* handler = new RecordingHandler;
    handler->AddRef();
    IKHttpClient* client = create(handler, true, "/silent");
    ASSERT_EQ(client->execute(), S_OK);
    client->AddRef();
    EXPECT_EQ(service->addClient(client), S_OK);
    EXPECT_EQ(service->addClient(client), S_OK);
    EXPECT_EQ(service->heldCount(), 1u);
    // Stopping the service cancels the stalled request and releases the client once, without
    // waiting for the request's 120 s inactivity limit.
    auto start = Clock::now();
    service->uninit();
    EXPECT_LT(Clock::now() - start, Ms(30000));
    EXPECT_EQ(handler->refs(), 1u);  // the client is gone
    EXPECT_EQ(handler->count("error"), 1);
    handler->Release();
    service->Release();
    service = nullptr;
}

TEST_F(HttpServiceTest, ReleasingARunningClientCancelsItAndWaits) {
    std::atomic<int> destroyed{0};
    auto* handler = new RecordingHandler(Slot::None, &destroyed);
    IKHttpClient* client = create(handler, true, "/silent");
    ASSERT_EQ(client->execute(), S_OK);
    ASSERT_TRUE(server.waitForRequests(1, 5000));
    EXPECT_EQ(client->Release(), 0u);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_TRUE(server.waitForClosedConnections(1, 5000));
    EXPECT_TRUE(server.connections()[0].closedByPeer);
}

TEST_F(HttpServiceTest, ExecuteAfterTheLoopStoppedReturnsCancelled) {
    IKHttpClient* client = create(nullptr, false);
    service->uninit();
    qn::testing::CoreStop();
    std::thread runner([&] { EXPECT_EQ(client->execute(), S_OK); });
    runner.join();
    EXPECT_EQ(static_cast<KHttpClient*>(client)->request().getClientError(), KHTTP_CE_CANCELLED);
    client->Release();
    ASSERT_TRUE(qn::testing::CoreStart());
}

}  // namespace

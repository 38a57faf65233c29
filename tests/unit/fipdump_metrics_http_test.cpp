// The metrics endpoint scraped over HTTP on 127.0.0.1 (TCP on loopback: no namespace needed).
#include <gtest/gtest.h>

#include <atomic>

#include "support/http_client.hpp"
#include "tools/fipdump/output/metrics.hpp"
#include "tools/fipdump/output/metrics_server.hpp"

using namespace fipdump;
using testsupport::http_exchange;

TEST(FipdumpMetricsHttp, ScrapeServesTheCurrentExposition) {
    std::atomic<int> scrapes{0};
    Summary s;
    s.senders[{0x7F000001, 40000}].datagrams = 3;
    s.senders[{0x7F000001, 40000}].last_seen = std::chrono::system_clock::now();
    MetricsServer server("127.0.0.1", 0, [&] {
        ++scrapes;
        s.senders[{0x7F000001, 40000}].datagrams = 3 + static_cast<std::uint64_t>(scrapes);
        return render_metrics(s);
    });
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_NE(server.port(), 0);

    const std::string first =
        http_exchange(server.port(), "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(first.rfind("HTTP/1.1 200 OK\r\n", 0), 0U) << first;
    EXPECT_NE(first.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    EXPECT_NE(first.find("fipgate_dump_datagrams_total{gateway=\"127.0.0.1\"} 4\n"),
              std::string::npos)
        << first;
    const std::string second = http_exchange(server.port(), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_NE(second.find("fipgate_dump_datagrams_total{gateway=\"127.0.0.1\"} 5\n"),
              std::string::npos);

    EXPECT_NE(http_exchange(server.port(), "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
                  .find(" 405 "),
              std::string::npos);
    // A stalled or garbled client gets nothing, and the server goes on serving.
    EXPECT_EQ(http_exchange(server.port(), "garbage\r\n\r\n").find("200 OK"), std::string::npos);
    EXPECT_EQ(
        http_exchange(server.port(), "GET /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200", 0), 0U);
}

TEST(FipdumpMetricsHttp, AnAddressInUseOrInvalidIsReported) {
    MetricsServer first("127.0.0.1", 0, [] { return std::string(); });
    ASSERT_TRUE(first.ok());
    MetricsServer clash("127.0.0.1", first.port(), [] { return std::string(); });
    EXPECT_FALSE(clash.ok());
    EXPECT_NE(clash.error().find("127.0.0.1"), std::string::npos);
    MetricsServer invalid("not-an-address", 0, [] { return std::string(); });
    EXPECT_FALSE(invalid.ok());
}

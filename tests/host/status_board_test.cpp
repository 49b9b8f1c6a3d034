// The status board as the station tells it: boards in progress and ended ones, the histogram's
// cumulative buckets, and what the unit fields and a job add.
#include "host/status/status_board.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace host {
namespace {

TEST(StatusBoard, BoardsTheirEndsAndTheHistogram) {
    StatusBoard board("line-3", [] { return 4u; });
    DeviceInfo info;
    info.serial = "SN1";
    info.path = "sim:1";
    info.port = "9-1";
    board.board_started("SN1", info);
    board.board_phase("SN1", "write");
    board.board_progress("SN1", 50, 200);
    StationTotals totals;
    board.turn(totals, 1);
    nlohmann::json s = nlohmann::json::parse(board.status_json());
    ASSERT_EQ(s["boards"].size(), 1u);
    EXPECT_EQ(s["boards"][0]["phase"], "write");
    EXPECT_EQ(s["boards"][0]["percent"], 25);
    EXPECT_EQ(s["boards"][0]["port"], "9-1");
    EXPECT_TRUE(s["boards"][0]["slot"].is_null()) << "no slot without a slot map";
    EXPECT_EQ(s["records_waiting"], 4);
    EXPECT_TRUE(s["job"].is_null());

    totals.add(Status::Success);
    board.board_ended("SN1", true, Status::Success, "updated", 3.5, totals);
    totals.add(Status::Failed);
    board.board_ended("SN2", true, Status::Failed, "FAILED: x", 0.5, totals);
    board.board_ended("SN1", false, Status::Current, "already done", 0.1, totals);
    s = nlohmann::json::parse(board.status_json());
    EXPECT_TRUE(s["boards"].empty());
    ASSERT_EQ(s["last_results"].size(), 2u) << "a board back after its reboot is no result";
    EXPECT_EQ(s["last_results"][0]["outcome"], "failed");
    EXPECT_EQ(s["totals"]["updated"], 1);

    const std::string m = board.metrics_text();
    EXPECT_NE(m.find("hidiap_boards_total{outcome=\"success\"} 1\n"), std::string::npos) << m;
    EXPECT_NE(m.find("hidiap_boards_total{outcome=\"failed\"} 1\n"), std::string::npos);
    EXPECT_NE(m.find("hidiap_update_seconds_bucket{le=\"1\"} 1\n"), std::string::npos);
    EXPECT_NE(m.find("hidiap_update_seconds_bucket{le=\"5\"} 2\n"), std::string::npos);
    EXPECT_NE(m.find("hidiap_update_seconds_bucket{le=\"+Inf\"} 2\n"), std::string::npos);
    EXPECT_NE(m.find("hidiap_update_seconds_count 2\n"), std::string::npos);
}

// With a slot map every slot has its entry in the map's order, an empty one with its port.
TEST(StatusBoard, ASlotMapGivesAnEntryPerSlot) {
    StatusBoard board("line-3", nullptr);
    board.set_slots({{"A1", "1-1"}, {"A2", "1-2"}, {"A3", "1-3"}});
    DeviceInfo info;
    info.serial = "SN7";
    info.port = "1-2";
    board.board_started("A2", info);
    board.board_progress("A2", 10, 40);
    const nlohmann::json s = nlohmann::json::parse(board.status_json());
    ASSERT_EQ(s["boards"].size(), 3u) << s.dump();
    EXPECT_EQ(s["boards"][0]["slot"], "A1");
    EXPECT_EQ(s["boards"][0]["phase"], "empty");
    EXPECT_EQ(s["boards"][0]["port"], "1-1");
    EXPECT_EQ(s["boards"][1]["slot"], "A2");
    EXPECT_EQ(s["boards"][1]["serial"], "SN7");
    EXPECT_EQ(s["boards"][1]["percent"], 25);
    EXPECT_EQ(s["boards"][2]["phase"], "empty");
}

TEST(StatusBoard, UnitValuesAndTheJobWhenThereAreAny) {
    StatusBoard board("line-3", nullptr);
    EXPECT_EQ(board.metrics_text().find("hidiap_unit_values_left{"), std::string::npos);
    board.unit_values_left("mac \"eth0\"", 41);
    board.job(500, 12);
    const std::string m = board.metrics_text();
    EXPECT_NE(m.find("hidiap_unit_values_left{field=\"mac \\\"eth0\\\"\"} 41\n"), std::string::npos)
        << m;
    EXPECT_NE(m.find("hidiap_job_boards_done 12\n"), std::string::npos);
    const nlohmann::json s = nlohmann::json::parse(board.status_json());
    EXPECT_EQ(s["job"]["allowed"], 500);
    EXPECT_EQ(s["job"]["done"], 12);
}

}  // namespace
}  // namespace host

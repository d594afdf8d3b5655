#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "extension/host_interface.hpp"
#include "extension/ping_function.h"

extern "C" const pingext::FunctionTableEntry* ZDLL();

namespace pingext {
namespace {

// A host whose every service entry records its calls; entry 6 stores the
// scripted area contents, entry 8 records the value and slot it was given.
struct FakeHost {
  std::array<int, 16> calls{};
  std::uint16_t declared_length = 0;
  std::string stored_text;
  std::int32_t result_value = 0;
  ResultSlot result_slot = nullptr;
};
FakeHost* g_host = nullptr;

template <int Entry>
void record_call() {
  ++g_host->calls[Entry];
}

void get_string_argument(ArgumentHandle, CountedString* area) {
  ++g_host->calls[kGetStringArgumentEntry];
  area->length = g_host->declared_length;
  std::memcpy(area->text, g_host->stored_text.data(), g_host->stored_text.size());
}

void set_integer_result(std::int32_t value, ResultSlot slot) {
  ++g_host->calls[kSetIntegerResultEntry];
  g_host->result_value = value;
  g_host->result_slot = slot;
}

template <std::size_t... Entries>
std::array<HostService, 16> make_services(std::index_sequence<Entries...>) {
  return {(Entries == kGetStringArgumentEntry  ? reinterpret_cast<HostService>(&get_string_argument)
           : Entries == kSetIntegerResultEntry ? reinterpret_cast<HostService>(&set_integer_result)
                                               : &record_call<static_cast<int>(Entries)>)...};
}
const std::array<HostService, 16> kServices = make_services(std::make_index_sequence<16>{});

std::string g_probed;
int g_probes = 0;
std::int32_t recording_probe(const char* name) {
  ++g_probes;
  g_probed = name;
  return 1234;
}

class PingFunction : public ::testing::Test {
 protected:
  void SetUp() override {
    g_host = &host;
    g_probed.clear();
    g_probes = 0;
  }
  void TearDown() override { g_host = nullptr; }

  std::int32_t call(std::int32_t count, const std::array<HostService, 16>& services = kServices,
                    bool null_services = false, bool null_arguments = false) {
    std::array<ArgumentHandle, 2> arguments{&host, &host};
    return run_ping(null_services ? nullptr : services.data(), &slot, count,
                    null_arguments ? nullptr : arguments.data(), &recording_probe);
  }

  FakeHost host;
  int slot = 0;
};

// Not one argument, a host table without either service ping uses, or no
// table or argument array at all where the count says there is one.
TEST_F(PingFunction, RefusesWhatItCannotServeWithoutCallingTheHost) {
  struct Row {
    std::int32_t count;
    std::size_t missing_entry;  // 0: none
    bool null_services = false;
    bool null_arguments = false;
  };
  for (const Row row :
       {Row{0, 0}, Row{2, 0}, Row{3, 0}, Row{-1, 0}, Row{1, kGetStringArgumentEntry},
        Row{1, kSetIntegerResultEntry}, Row{1, 0, true}, Row{1, 0, false, true}}) {
    std::array<HostService, 16> services = kServices;
    if (row.missing_entry != 0) services[row.missing_entry] = nullptr;
    EXPECT_EQ(call(row.count, services, row.null_services, row.null_arguments), kCallRefused)
        << row.count << ", " << row.missing_entry;
    EXPECT_EQ(host.calls, (std::array<int, 16>{})) << row.count << ", " << row.missing_entry;
    EXPECT_EQ(g_probes, 0) << row.count << ", " << row.missing_entry;
  }
}

TEST_F(PingFunction, HandsTheTextToTheProbeAndItsResultToTheHost) {
  host.stored_text = "127.0.0.1";
  host.declared_length = 9;
  EXPECT_EQ(call(1), kCallCarriedOut);
  EXPECT_EQ(g_probed, "127.0.0.1");
  EXPECT_EQ(host.result_value, 1234);
  EXPECT_EQ(host.result_slot, &slot);
  std::array<int, 16> expected_calls{};
  expected_calls[kGetStringArgumentEntry] = 1;
  expected_calls[kSetIntegerResultEntry] = 1;
  EXPECT_EQ(host.calls, expected_calls);
}

TEST_F(PingFunction, TextReachesTheProbeAsACString) {
  constexpr auto kFull = static_cast<std::uint16_t>(kArgumentTextCapacity);
  const std::string full(kFull, 'a');
  std::string full_with_zero = full;
  full_with_zero[100] = '\0';
  struct Row {
    const char* name;
    std::string stored;
    std::uint16_t declared;
    std::optional<std::string> probed;  // none: -1 without a probe
  };
  // Rows run in order on one stack: the last finds the area where the one
  // before left 32 KB of text.
  const std::vector<Row> rows = {
      {"empty", "", 0, ""},
      {"only the declared length", "localhostXYZ", 9, "localhost"},
      {"cut at a zero byte", std::string("local\0host", 10), 10, "local"},
      {"1,024 bytes, the longest name a resolver takes", full, 1024, full.substr(0, 1024)},
      {"1,025 bytes: names no host", full, 1025, std::nullopt},
      {"area full, a zero byte inside", full_with_zero, kFull, full.substr(0, 100)},
      {"area full, no zero byte: names no host", full, kFull, std::nullopt},
      {"declared length beyond the area", full, 0xFFFF, std::nullopt},
      {"declared more than written: no stale bytes follow", "127.0.0.1", 37, "127.0.0.1"},
      {"bytes of 0x80 and above pass unchanged",
       "b\xC3\xBC"
       "cher",
       7,
       "b\xC3\xBC"
       "cher"},
  };
  for (const auto& row : rows) {
    host.stored_text = row.stored;
    host.declared_length = row.declared;
    g_probes = 0;
    g_probed.clear();
    EXPECT_EQ(call(1), kCallCarriedOut) << row.name;
    EXPECT_EQ(g_probes, row.probed ? 1 : 0) << row.name;
    EXPECT_EQ(g_probed, row.probed.value_or("")) << row.name;
    EXPECT_EQ(host.result_value, row.probed ? 1234 : -1) << row.name;
  }
}

TEST(EntryPoint, ListsPingAloneAndAlwaysTheSameTable) {
  const FunctionTableEntry* table = ZDLL();
  EXPECT_EQ(ZDLL(), table);
  ASSERT_NE(table[0].function, nullptr);
  EXPECT_STREQ(table[0].name, "ping");
  EXPECT_EQ(table[1].function, nullptr);
  EXPECT_EQ(table[1].name, nullptr);
}

}  // namespace
}  // namespace pingext

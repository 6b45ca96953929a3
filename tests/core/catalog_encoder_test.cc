#include "core/catalog_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace ormel {
namespace {

using Rows = std::vector<CatalogEntry>;

CatalogEntry row(uint64_t n) {
  return CatalogEntry{(u128{n} << 64) | (n * 7919), 9 + n, 1, static_cast<uint32_t>(600 + n), false,
                      1'700'000'000 + static_cast<int64_t>(n), static_cast<uint32_t>(n % 5)};
}

uint64_t live(const Rows& r) {
  return static_cast<uint64_t>(std::count_if(r.begin(), r.end(), [](const CatalogEntry& e) { return !e.deleted; }));
}

Rows rows(uint64_t n) {
  Rows out;
  for (uint64_t i = 0; i < n; ++i) out.push_back(row(i));
  return out;
}

// Each case starts from a catalog, encodes it, changes it the way a store operation would and
// encodes again: both blobs must be what a full encode gives, and the live count a recount.
TEST(CatalogEncoder, EveryChangeEncodesLikeAFullEncode) {
  const struct {
    std::string name;
    uint64_t start;
    std::function<void(Rows&)> change;
  } cases[] = {
      {"nothing changed", 40, [](Rows&) {}},
      {"rows appended", 40,
       [](Rows& r) {
         r.push_back(row(40));
         r.push_back(row(41));
       }},
      {"first row appended to an empty catalog", 0, [](Rows& r) { r.push_back(row(0)); }},
      {"access fields of a middle row, same widths", 40,
       [](Rows& r) {
         r[17].accessed_at += 5;
         r[17].access_count = 3;
       }},
      {"access count widens in a middle row", 40, [](Rows& r) { r[3].access_count = 128; }},
      {"accessed_at narrows in the first row", 40, [](Rows& r) { r[0].accessed_at = 4; }},
      {"deleted row brought back, another deleted", 40,
       [](Rows& r) {
         r[2].deleted = false;
         r[9].deleted = true;
       }},
      {"deleted and a record moved", 40,
       [](Rows& r) {
         r[39].deleted = true;
         r[5].start_page = 1u << 20;
       }},
      {"array marker widens at 16 rows", 15, [](Rows& r) { r.push_back(row(15)); }},
      {"array marker widens at 65536 rows", 65535, [](Rows& r) { r.push_back(row(65535)); }},
      {"array marker narrows", 16, [](Rows& r) { r.pop_back(); }},
      {"rows dropped from the end", 40, [](Rows& r) { r.resize(30); }},
      {"emptied", 40, [](Rows& r) { r.clear(); }},
      {"whole list replaced by a snapshot's", 40,
       [](Rows& r) {
         r = rows(25);
         for (auto& e : r) e.accessed_at = -e.accessed_at;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rows catalog = rows(c.start);
    for (size_t i = 2; i < catalog.size(); i += 5) catalog[i].deleted = true;
    CatalogEncoder encoder;
    std::span<const uint8_t> first = encoder.encode(catalog);
    EXPECT_EQ(std::vector<uint8_t>(first.begin(), first.end()), encode_catalog(catalog));
    EXPECT_EQ(encoder.live_rows(), live(catalog));
    c.change(catalog);
    std::span<const uint8_t> second = encoder.encode(catalog);
    EXPECT_EQ(std::vector<uint8_t>(second.begin(), second.end()), encode_catalog(catalog));
    EXPECT_EQ(encoder.live_rows(), live(catalog));
  }
}

// A long run of small changes, each encoded: an error in the kept offsets would surface as
// a wrong byte in a later encode.
TEST(CatalogEncoder, ManySuccessiveChangesStayExact) {
  Rows catalog = rows(200);
  CatalogEncoder encoder;
  for (uint64_t step = 0; step < 300; ++step) {
    CatalogEntry& touched = catalog[(step * 37) % catalog.size()];
    touched.access_count = static_cast<uint32_t>(touched.access_count * 3 + step);  // widths change often
    touched.accessed_at += static_cast<int64_t>(step);
    if (step % 3 == 0) catalog.push_back(row(200 + step));
    if (step % 50 == 49) catalog[step % 7].deleted = true;
    if (step % 70 == 69) catalog[step % 7].deleted = false;
    if (step % 90 == 89) catalog.resize(catalog.size() - 10);
    std::span<const uint8_t> bytes = encoder.encode(catalog);
    ASSERT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), encode_catalog(catalog)) << "step " << step;
    ASSERT_EQ(encoder.live_rows(), live(catalog)) << "step " << step;
  }
}

}  // namespace
}  // namespace ormel

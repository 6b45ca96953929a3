// Packed memory records (format version 9): several records to a page, a record longer
// than what is left of a page continuing on the next pages, committed pages never written
// again; both vector forms of a record decode alike; compaction and conversion from
// version 8 keep every record.
#include <gtest/gtest.h>

#include <map>

#include "core/memory_fields.h"
#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::kDbPath;
using testing::kDims;
using testing::kPassphrase;
using testing::MemEnv;
using testing::sample_memory;

std::unique_ptr<Ormel> open_version(MemEnv& env, uint16_t version) {
  auto db = Ormel::open(kDbPath, kPassphrase, kDims, false, &env, version);
  EXPECT_TRUE(db) << db.error().message();
  return db ? std::move(*db) : nullptr;
}

// Memory `i` whose content has `content_bytes` bytes and a word of its own ("wordI").
Memory memory_with_content(uint32_t i, size_t content_bytes) {
  Memory m = sample_memory(i);
  m.content = "word" + std::to_string(i) + " ";
  m.content.resize(std::max(content_bytes, m.content.size()), 'c');
  return m;
}

RecordPlace place_of(const Ormel& db, MemoryId id) {
  const StoreState& s = db.state();
  return record_place(s.header.format_version, s.catalog[s.id_index.at(id)]);
}

// The bytes of page `page` as the file holds it.
std::vector<uint8_t> page_image(MemEnv& env, uint64_t page) {
  const std::vector<uint8_t> file = env.read_file(kDbPath);
  return {file.begin() + static_cast<ptrdiff_t>(page * PAGE_SIZE),
          file.begin() + static_cast<ptrdiff_t>((page + 1) * PAGE_SIZE)};
}

// Each case remembers memories of the given content sizes, one transaction per inner list,
// and checks where they landed; every case then reads them all back exactly, one by one,
// in bulk (recall's summaries and the keyword index over many rows) and after reopening.
struct PackCase {
  std::string name;
  std::vector<std::vector<size_t>> transactions;  // content sizes
  // Checks the places of the memories, in the order remembered.
  std::function<void(const std::vector<RecordPlace>&)> check;
};

std::vector<PackCase> pack_cases() {
  // A record's bytes beyond its content: a sample memory's record with empty content
  // takes about 270 bytes; exact sizes are taken from the places themselves.
  return {
      {"tiny records share a page",
       {{10, 10, 10}},
       [](const std::vector<RecordPlace>& at) {
         for (size_t i = 1; i < at.size(); ++i) {
           EXPECT_EQ(at[i].page, at[0].page);
           EXPECT_EQ(at[i].offset, at[i - 1].offset + at[i - 1].len);
           EXPECT_EQ(at[i].pages, 1u);
         }
       }},
      {"a record longer than a page continues on the next pages",
       {{10, 2 * PAGE_PAYLOAD + 500, 10}},
       [](const std::vector<RecordPlace>& at) {
         EXPECT_EQ(at[1].page, at[0].page);
         EXPECT_EQ(at[1].offset, at[0].len);
         EXPECT_EQ(at[1].pages, 3u);
         EXPECT_EQ(at[2].page, at[1].page + 2);
         EXPECT_EQ(at[2].offset, (at[1].offset + at[1].len) % PAGE_PAYLOAD);
       }},
      {"many records in one transaction fill consecutive pages",
       {std::vector<size_t>(300, 200)},
       [](const std::vector<RecordPlace>& at) {
         uint64_t bytes = 0;
         for (size_t i = 1; i < at.size(); ++i) {
           const uint64_t end = at[i - 1].offset + at[i - 1].len;
           EXPECT_EQ(at[i].page, at[i - 1].page + end / PAGE_PAYLOAD);
           EXPECT_EQ(at[i].offset, end % PAGE_PAYLOAD);
         }
         for (const RecordPlace& p : at) bytes += p.len;
         EXPECT_EQ(at.back().page - at.front().page, (bytes - 1) / PAGE_PAYLOAD);
       }},
      {"a later transaction starts a page of its own",
       {{10}, {10}, {10, 10}},
       [](const std::vector<RecordPlace>& at) {
         EXPECT_GT(at[1].page, at[0].page);
         EXPECT_EQ(at[1].offset, 0u);
         EXPECT_GT(at[2].page, at[1].page);
         EXPECT_EQ(at[3].page, at[2].page);
       }},
  };
}

TEST(PackedRecords, ReadBackExactlyWhereverTheyLie) {
  for (const PackCase& c : pack_cases()) {
    SCOPED_TRACE(c.name);
    MemEnv env;
    auto db = open_version(env, PAGED_FORMAT_VERSION);
    ASSERT_TRUE(db);
    std::vector<Memory> remembered;
    std::map<uint64_t, std::vector<uint8_t>> committed;  // pages of earlier transactions
    for (const auto& sizes : c.transactions) {
      for (size_t size : sizes) {
        remembered.push_back(memory_with_content(static_cast<uint32_t>(remembered.size()), size));
        ASSERT_TRUE(db->remember(remembered.back()));
      }
      ASSERT_TRUE(db->flush());
      for (auto& [page, image] : committed) EXPECT_EQ(page_image(env, page), image) << "page " << page << " rewritten";
      for (const Memory& m : remembered) {
        const RecordPlace at = place_of(*db, m.id);
        for (uint64_t p = at.page; p < at.page + at.pages; ++p) committed.emplace(p, page_image(env, p));
      }
    }
    std::vector<RecordPlace> places;
    for (const Memory& m : remembered) places.push_back(place_of(*db, m.id));
    c.check(places);

    db.reset();
    db = open_version(env, PAGED_FORMAT_VERSION);
    ASSERT_TRUE(db);
    for (const Memory& m : remembered) {
      auto got = db->get(m.id);
      ASSERT_TRUE(got) << got.error().message();
      EXPECT_EQ(*got, m);
    }
    // Scoring and keyword search read every record at once (in bulk from 256 rows).
    RecallRequest recall;
    recall.query = remembered.back().vector;
    recall.top_k = remembered.size();
    recall.track_access = false;
    auto hits = db->recall(recall);
    ASSERT_TRUE(hits) << hits.error().message();
    EXPECT_FALSE(hits->empty());
    for (size_t i : {size_t{0}, remembered.size() / 2, remembered.size() - 1}) {
      KeywordQuery query;
      query.text = "word" + std::to_string(i);
      auto found = db->search_text(query);
      ASSERT_TRUE(found) << found.error().message();
      ASSERT_EQ(found->size(), 1u);
      EXPECT_EQ(found->front().memory.id, remembered[i].id);
      EXPECT_EQ(found->front().memory.content, remembered[i].content);
    }
    auto checked = db->verify();
    ASSERT_TRUE(checked) << checked.error().message();
    EXPECT_EQ(*checked, remembered.size());
  }
}

// A record that exactly fills what is left of its page ends there: the next one starts
// the following page at offset 0, and both read back.
TEST(PackedRecords, ARecordFillingThePageExactly) {
  MemEnv env;
  auto db = open_version(env, PAGED_FORMAT_VERSION);
  ASSERT_TRUE(db);
  const Memory first = memory_with_content(0, 10);
  ASSERT_TRUE(db->remember(first));
  const uint64_t first_len = place_of(*db, first.id).len;
  // Grow the second record's content until the two fill the page to the byte.
  Memory filler = memory_with_content(1, PAGE_PAYLOAD - first_len - 400);
  const size_t base = encode_memory(filler, VectorForm::Bin).value().size();
  filler.content.append(PAGE_PAYLOAD - first_len - base, 'f');
  ASSERT_EQ(encode_memory(filler, VectorForm::Bin).value().size(), PAGE_PAYLOAD - first_len);
  ASSERT_TRUE(db->remember(filler));
  const Memory next = memory_with_content(2, 10);
  ASSERT_TRUE(db->remember(next));
  ASSERT_TRUE(db->flush());

  const RecordPlace a = place_of(*db, first.id), b = place_of(*db, filler.id), c = place_of(*db, next.id);
  EXPECT_EQ(b.page, a.page);
  EXPECT_EQ(b.offset + b.len, PAGE_PAYLOAD);
  EXPECT_EQ(b.pages, 1u);
  EXPECT_EQ(c.page, a.page + 1);
  EXPECT_EQ(c.offset, 0u);
  db.reset();
  db = open_version(env, PAGED_FORMAT_VERSION);
  ASSERT_TRUE(db);
  for (const Memory& m : {first, filler, next}) EXPECT_EQ(db->get(m.id).value(), m);
}

// Both vector forms decode to the same memory, through the in-place reader and the general
// decoder alike; the bin takes 4 bytes a value instead of 5. A bin that does not hold whole
// float 32 values is refused by both.
TEST(PackedRecords, BothVectorFormsDecodeAlike) {
  const Memory m = sample_memory(7);
  const std::vector<uint8_t> items = encode_memory(m, VectorForm::Items).value();
  const std::vector<uint8_t> bin = encode_memory(m, VectorForm::Bin).value();
  EXPECT_EQ(items.size() - bin.size(), m.vector.size() - 1);  // a bin 8 header takes 2 bytes, a fixarray 1
  for (const auto& bytes : {items, bin}) {
    MemoryFields fields;
    ASSERT_TRUE(read_memory_fields(bytes, fields));
    EXPECT_EQ(to_memory(fields), m);
    EXPECT_EQ(unpack_memory(bytes).value(), m);
  }
  // The bin 8 header sits right after the id and the type; cut one byte from its length.
  std::vector<uint8_t> ragged = bin;
  const auto header = std::find(ragged.begin(), ragged.end(), uint8_t{0xC4});
  ASSERT_NE(header, ragged.end());
  ASSERT_EQ(header[1], 4 * m.vector.size());
  header[1] -= 1;
  MemoryFields fields;
  EXPECT_FALSE(read_memory_fields(ragged, fields));
  EXPECT_FALSE(decode_memory(ragged));
}

// A version 8 file with history, a deleted, a replaced and a multi-page memory converted to
// version 9 keeps every memory and every snapshot; the converted file packs its records and
// verifies, and compacting it again gives back exactly what space() foresaw.
TEST(PackedRecords, ConversionAndCompactionKeepEveryRecord) {
  MemEnv env;
  auto db = open_version(env, FORMAT_VERSION);
  ASSERT_TRUE(db);
  for (uint32_t i = 0; i < 40; ++i) ASSERT_TRUE(db->remember(memory_with_content(i, 50 + 37 * i)));
  ASSERT_TRUE(db->flush());
  ASSERT_TRUE(db->remember(memory_with_content(40, 3 * PAGE_PAYLOAD)));
  ASSERT_TRUE(db->delete_memory(sample_memory(3).id));
  Memory replaced = memory_with_content(5, 20);
  replaced.content = "replaced";
  ASSERT_TRUE(db->remember(replaced));
  ASSERT_TRUE(db->flush());
  const std::vector<Memory> before = db->memories().value();
  const size_t snapshots = db->snapshots().size();

  for (const uint16_t target : {PAGED_FORMAT_VERSION, PAGED_FORMAT_VERSION}) {
    const bool converting = db->format_version() != target;
    auto space = db->space();
    ASSERT_TRUE(space) << space.error().message();
    auto compacted = db->compact(true, {}, target);
    ASSERT_TRUE(compacted) << compacted.error().message();
    if (!converting) EXPECT_EQ(*compacted, space->reclaimable_bytes);
    db.reset();
    db = open_version(env, target);
    ASSERT_TRUE(db);
    EXPECT_EQ(db->format_version(), target);
    EXPECT_EQ(db->memories().value(), before);
    EXPECT_EQ(db->snapshots().size(), snapshots);
    auto checked = db->verify();
    ASSERT_TRUE(checked) << checked.error().message();
    std::map<uint64_t, int> rows_per_page;
    for (const CatalogEntry& row : db->state().catalog) {
      if (!row.deleted) ++rows_per_page[record_place(target, row).page];
    }
    EXPECT_TRUE(std::ranges::any_of(rows_per_page, [](const auto& page) { return page.second > 1; }));
  }
}

}  // namespace
}  // namespace ormel

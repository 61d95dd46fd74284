// The directory blocks waiting for the switch (PackPending.h).
#include "pack/PackPending.h"

#include <cstring>
#include <new>

namespace pack {

std::uint8_t* PendingBlocks::Bytes(std::int32_t block)
{
    const auto found = index.find(block);
    return found == index.end() ? nullptr : records[static_cast<std::size_t>(found->second)]->now;
}

std::uint8_t* PendingBlocks::Add(std::int32_t block, const std::uint8_t* hostBytes)
{
    if (std::uint8_t* known = Bytes(block)) return known;
    Record* record = new (std::nothrow) Record;
    if (!record) return nullptr;
    record->block = block;
    std::memcpy(record->now, hostBytes, kBlockSize);
    std::memcpy(record->before, hostBytes, kBlockSize);
    records.push_back(record);
    index[block] = static_cast<std::int32_t>(records.size() - 1);
    return record->now;
}

void PendingBlocks::Clear()
{
    for (Record* record : records) delete record;
    records.clear();
    index.clear();
}

}  // namespace pack

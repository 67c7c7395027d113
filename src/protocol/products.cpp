#include <array>
#include <cstddef>

#include "protocol/device_info.h"

namespace korvo {

namespace {

struct ProductRow {
  int32_t product;
  int32_t revision_count;
  std::array<const char*, 6> model_names;  // entry r - 1 names PCB revision r
};

// Searched in order; several revisions of one product share a name.
constexpr std::array<ProductRow, 5> ProductTable{{
    {45, 2, {"Marble", "Marble"}},
    {56, 4, {"Basalt", "Basalt Plus", "Basalt Pro", "Granite"}},
    {59, 2, {"Cobalt", "Cobalt"}},
    {67, 1, {"Quartz"}},
    {68, 6, {"Onyx", "Onyx", "Onyx Max", "Onyx Max", "Slate", "Slate Pro"}},
}};

}  // namespace

const char* product_lookup(int32_t product, int32_t revision) {
  for (const ProductRow& row : ProductTable) {
    if (row.product != product) continue;
    // The first row with the product decides, even when the revision is out of range.
    if (revision < 1 || revision > row.revision_count) return nullptr;
    return row.model_names[static_cast<size_t>(revision - 1)];
  }
  return nullptr;
}

void device_set_model(DeviceInfo& info) {
  info.model = info.name[0] != '\0' ? info.name.data() : product_lookup(info.product, info.pcb_revision);
}

const char* device_model_text(const DeviceInfo& info) {
  if (info.model != nullptr) return info.model;
  DeviceInfo fresh = info;
  device_set_model(fresh);
  if (fresh.model == nullptr) return "";
  // Either the table's text, which lives for the whole run, or the record's own name.
  return fresh.model == fresh.name.data() ? device_name(info) : fresh.model;
}

}  // namespace korvo

#pragma once
// Reads the twelve "Pellax_Panel_%d" sections into the panel table, creates
// one transport per configured panel and lists the panels in the status view.

namespace vorn {

void LoadAll();

}  // namespace vorn

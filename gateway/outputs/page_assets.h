// The status page's own files, embedded in the gateway at build time from
// gateway/outputs/page/ (page/embed.cmake).
#pragma once

namespace gw::outputs::page {

extern const char k_index_html[];
extern const char k_status_js[];
extern const char k_status_css[];

}  // namespace gw::outputs::page

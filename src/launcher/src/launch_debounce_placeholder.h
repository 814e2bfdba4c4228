#pragma once

#include <string>

// Stands in for InstallContext::ShouldSuppressLaunch until the installation environment is
// merged; the dispatch reaches it through its action table, the one place to switch over.
bool ShouldSuppressLaunchPlaceholder(const std::u16string& key);

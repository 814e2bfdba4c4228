#include "launcher/src/pseudo_protocol.h"

#include "base/logger.h"
#include "base/text_encoding.h"

// Placeholder until URL delivery lands: the URL is logged and goes nowhere.
void LaunchSchema(const std::u16string& url) {
  LOG("[placeholder] LaunchSchema url:{}", WideToUtf8(url));
}

// Placeholder until forwarding lands: no running client is ever reached, so the dispatch goes on
// to start the client.
bool ForwardToRunningClient() {
  LOG("[placeholder] ForwardToRunningClient -> false");
  return false;
}

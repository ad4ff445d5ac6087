// Owned and stored text; stored text is decoded on each read and never cached, so an
// archive's memory stays proportional to its file.
#include "text.h"

#include "archive_error.h"

namespace orvane {

Text Text::owned(std::string utf8) {
  auto node = std::make_shared<Node>();
  node->size = utf8.size();
  node->utf8 = std::move(utf8);
  return Text(std::move(node));
}

Text Text::stored(std::shared_ptr<const std::vector<std::uint8_t>> run, std::size_t begin,
                  TextEncoding encoding, std::size_t utf8_size) {
  auto node = std::make_shared<Node>();
  node->run = std::move(run);
  node->begin = begin;
  node->encoding = encoding;
  node->size = utf8_size;
  return Text(std::move(node));
}

std::size_t Text::size() const noexcept {
  return node_->size;
}

std::string_view Text::view(std::string& scratch) const {
  const Node& node = *node_;
  if (!node.run) return node.utf8;
  scratch.clear();
  scratch.reserve(node.size);
  const ByteView bytes{node.run->data() + node.begin, node.run->size() - node.begin};
  if (!decode_text(bytes, node.encoding, scratch) || scratch.size() != node.size) {
    throw Fault("Stored text no longer decodes as it did when it was loaded.");
  }
  return scratch;
}

std::string Text::str() const {
  std::string scratch;
  const std::string_view text = view(scratch);
  return node_->run ? std::move(scratch) : std::string(text);
}

bool Text::equals(std::string_view utf8) const {
  if (size() != utf8.size()) return false;
  std::string scratch;
  return view(scratch) == utf8;
}

bool operator==(const Text& a, const Text& b) {
  if (a.identity() == b.identity()) return true;
  if (a.size() != b.size()) return false;
  std::string scratch;
  return b.equals(a.view(scratch));
}

}  // namespace orvane

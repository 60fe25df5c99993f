#include "os/uikit/image.h"

#include <filesystem>
#include <map>
#include <vector>

#include "os/foundation/bundle.h"
#include "os/uikit/view.h"

UIImage::UIImage(std::shared_ptr<CGImage> image, CGFloat scale)
    : image_(std::move(image)), scale_(std::isfinite(scale) && scale > 0 ? scale : 1) {}

namespace {
struct AssetState {
  std::string directory;
  std::map<std::string, std::shared_ptr<UIImage>> cache;
};
AssetState& assets() {
  static auto& s = *new AssetState();  // never destroyed: its images outlive other statics
  return s;
}

// Names must stay inside the asset folder.
bool safeName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
         name != "." && name != ".." && name.find('\0') == std::string::npos;
}
}  // namespace

void UIImage::setAssetDirectory(const std::string& path) {
  assets().directory = path;
  assets().cache.clear();
}

std::string UIImage::assetDirectory() {
  if (!assets().directory.empty()) return assets().directory;
  auto bundle = os::Bundle::mainBundle();
  return bundle ? bundle->bundlePath() : std::string();
}

std::shared_ptr<UIImage> UIImage::imageNamed(const std::string& name) {
  auto& a = assets();
  std::string directory = assetDirectory();
  if (!safeName(name) || directory.empty()) return nullptr;
  if (auto it = a.cache.find(name); it != a.cache.end()) return it->second;
  int screen = static_cast<int>(std::lround(UIScreen::mainScreen().scale()));
  std::vector<std::pair<std::string, CGFloat>> candidates;
  candidates.emplace_back(name + "@" + std::to_string(screen) + "x.png", screen);
  for (int s : {3, 2})
    if (s != screen) candidates.emplace_back(name + "@" + std::to_string(s) + "x.png", s);
  candidates.emplace_back(name + ".png", 1);
  candidates.emplace_back(name + ".jpg", 1);
  candidates.emplace_back(name + ".jpeg", 1);
  for (const auto& [file, scale] : candidates) {
    std::filesystem::path path = std::filesystem::path(directory) / file;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) continue;
    auto decoded = CGImage::decodeFile(path.string());
    if (!decoded) continue;
    auto image = std::make_shared<UIImage>(*decoded, scale);
    a.cache[name] = image;
    return image;
  }
  return nullptr;
}

std::shared_ptr<UIImage> UIImage::imageWithContentsOfFile(const std::string& path) {
  auto decoded = CGImage::decodeFile(path);
  if (!decoded) return nullptr;
  CGFloat scale = 1;
  std::string stem = std::filesystem::path(path).stem().string();
  if (stem.size() > 3 && stem.compare(stem.size() - 3, 3, "@2x") == 0) scale = 2;
  if (stem.size() > 3 && stem.compare(stem.size() - 3, 3, "@3x") == 0) scale = 3;
  return std::make_shared<UIImage>(*decoded, scale);
}

std::shared_ptr<UIImage> UIImage::imageWithData(const os::Data& data, CGFloat scale) {
  auto decoded = CGImage::decode(data);
  if (!decoded) return nullptr;
  return std::make_shared<UIImage>(*decoded, scale);
}

CGSize UIImage::size() const {
  if (!image_) return {};
  return {image_->width() / scale_, image_->height() / scale_};
}

std::shared_ptr<UIImage> UIImage::withRenderingMode(UIImageRenderingMode mode) const {
  auto copy = std::make_shared<UIImage>(*this);
  copy->renderingMode_ = mode;
  return copy;
}

std::optional<os::Data> UIImage::pngData() const {
  if (!image_) return std::nullopt;
  auto d = image_->pngData();
  if (!d) return std::nullopt;
  return *d;
}

std::optional<os::Data> UIImage::jpegData(CGFloat quality) const {
  if (!image_) return std::nullopt;
  auto d = image_->jpegData(quality);
  if (!d) return std::nullopt;
  return *d;
}

void UIImage::drawInRect(const CGRect& rect) const {
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (ctx && image_) ctx->drawImage(*image_, rect);
}

// --- Context stack ---------------------------------------------------------

namespace {
struct ContextEntry {
  CGContext* ctx;
  std::unique_ptr<CGContext> owned;  // set for image contexts
};
std::vector<ContextEntry>& contextStack() {
  thread_local std::vector<ContextEntry> stack;
  return stack;
}
CGFloat resolveScale(CGFloat scale) {
  return scale > 0 && std::isfinite(scale) ? scale : UIScreen::mainScreen().scale();
}
}  // namespace

void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, CGFloat scale) {
  auto ctx = CGContext::makeBitmap(size, resolveScale(scale), opaque);
  if (!ctx) return;
  CGContext* raw = ctx->get();
  contextStack().push_back({raw, std::move(*ctx)});
}

std::shared_ptr<UIImage> UIGraphicsGetImageFromCurrentImageContext() {
  auto& stack = contextStack();
  if (stack.empty() || !stack.back().owned) return nullptr;
  auto& ctx = *stack.back().owned;
  return std::make_shared<UIImage>(ctx.makeImage(), ctx.scale());
}

void UIGraphicsEndImageContext() {
  auto& stack = contextStack();
  if (!stack.empty() && stack.back().owned) stack.pop_back();
}

CGContext* UIGraphicsGetCurrentContext() {
  auto& stack = contextStack();
  return stack.empty() ? nullptr : stack.back().ctx;
}

void UIGraphicsPushContext(CGContext* ctx) {
  if (ctx) contextStack().push_back({ctx, nullptr});
}

void UIGraphicsPopContext() {
  auto& stack = contextStack();
  if (!stack.empty() && !stack.back().owned) stack.pop_back();
}

UIGraphicsImageRenderer::UIGraphicsImageRenderer(CGSize size, UIGraphicsImageRendererFormat format)
    : size_(size), format_(format) {}

os::Result<std::shared_ptr<UIImage>> UIGraphicsImageRenderer::image(const Actions& actions) const {
  auto ctx = CGContext::makeBitmap(size_, resolveScale(format_.scale), format_.opaque);
  if (!ctx) return os::fail(ctx.error());
  UIGraphicsPushContext(ctx->get());
  UIGraphicsImageRendererContext rc(**ctx);
  if (actions) actions(rc);
  UIGraphicsPopContext();
  return std::make_shared<UIImage>((*ctx)->makeImage(), (*ctx)->scale());
}

os::Result<os::Data> UIGraphicsImageRenderer::pngData(const Actions& actions) const {
  auto img = image(actions);
  if (!img) return os::fail(img.error());
  return (*img)->cgImage()->pngData();
}

#include "Platform/Image/Image.hpp"

#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Gpu/Resources.hpp"
#include "Platform/Image/Node.hpp"

namespace lumavane::image {

using detail::Node;
using detail::Source;
using detail::SourceFormat;

namespace {

constexpr const char* kErrorDomain = "Lumavane.Image";

struct Matrix {
    double kr, kb;
};

Matrix matrixFor(const lv_color_attachments& color, std::size_t height) {
    switch (color.matrix) {
    case LV_COLOR_MATRIX_BT601:
        return {0.299, 0.114};
    case LV_COLOR_MATRIX_BT709:
        return {0.2126, 0.0722};
    case LV_COLOR_MATRIX_BT2020:
        return {0.2627, 0.0593};
    case LV_COLOR_MATRIX_UNSPECIFIED:
        break;
    }
    return height > 576 ? Matrix{0.2126, 0.0722} : Matrix{0.299, 0.114};
}

void setYCbCr(Source& source, bool tenBit, bool fullRange, Matrix m) {
    if (tenBit) {
        source.yOffset = fullRange ? 0.0f : 64.0f;
        source.yScale = fullRange ? 1.0f / 1023.0f : 1.0f / 876.0f;
        source.cOffset = 512.0f;
        source.cScale = fullRange ? 1.0f / 1023.0f : 1.0f / 896.0f;
    } else {
        source.yOffset = fullRange ? 0.0f : 16.0f;
        source.yScale = fullRange ? 1.0f / 255.0f : 1.0f / 219.0f;
        source.cOffset = 128.0f;
        source.cScale = fullRange ? 1.0f / 255.0f : 1.0f / 224.0f;
    }
    const double kg = 1.0 - m.kr - m.kb;
    source.rCr = static_cast<float>(2.0 * (1.0 - m.kr));
    source.bCb = static_cast<float>(2.0 * (1.0 - m.kb));
    source.gCb = static_cast<float>(-2.0 * m.kb * (1.0 - m.kb) / kg);
    source.gCr = static_cast<float>(-2.0 * m.kr * (1.0 - m.kr) / kg);
}

std::shared_ptr<Node> makeNode(Node::Kind kind, Rect extent) {
    auto node = std::make_shared<Node>();
    node->kind = kind;
    node->extent = extent;
    return node;
}

} // namespace

Image Image::fromPixelBuffer(const PixelBuffer& buffer) {
    if (!buffer) throw PlatformError(kErrorDomain, 1, "no pixel buffer");
    auto source = std::make_shared<Source>();
    source->width = static_cast<int>(buffer.width());
    source->height = static_cast<int>(buffer.height());
    source->topDown = true;
    source->pixelBuffer = buffer;
    const lv_color_attachments color = buffer.color();
    switch (buffer.pixelFormat()) {
    case LV_PIXEL_FORMAT_32BGRA:
        source->format = SourceFormat::bgra8;
        break;
    case LV_PIXEL_FORMAT_420V:
    case LV_PIXEL_FORMAT_420F:
        source->format = SourceFormat::ycbcr8;
        setYCbCr(*source, false, buffer.pixelFormat() == LV_PIXEL_FORMAT_420F,
                 matrixFor(color, buffer.height()));
        break;
    case LV_PIXEL_FORMAT_X420:
    case LV_PIXEL_FORMAT_XF20:
        source->format = SourceFormat::ycbcr16;
        setYCbCr(*source, true, buffer.pixelFormat() == LV_PIXEL_FORMAT_XF20,
                 matrixFor(color, buffer.height()));
        break;
    default:
        throw PlatformError(kErrorDomain, 2, "unsupported pixel format");
    }
    auto node = makeNode(Node::Kind::source, {0, 0, double(source->width), double(source->height)});
    node->source = std::move(source);
    return Image(std::move(node));
}

Image Image::fromTexture(std::shared_ptr<gpu::Texture> texture) {
    if (!texture) throw PlatformError(kErrorDomain, 1, "no texture");
    auto source = std::make_shared<Source>();
    switch (texture->pixelFormat()) {
    case gpu::PixelFormat::bgra8Unorm:
        source->format = SourceFormat::bgra8;
        break;
    case gpu::PixelFormat::rgba8Unorm:
        source->format = SourceFormat::rgba8;
        break;
    default:
        throw PlatformError(kErrorDomain, 2, "unsupported texture format");
    }
    source->width = static_cast<int>(texture->width());
    source->height = static_cast<int>(texture->height());
    source->topDown = false;
    source->texture = std::move(texture);
    auto node = makeNode(Node::Kind::source, {0, 0, double(source->width), double(source->height)});
    node->source = std::move(source);
    return Image(std::move(node));
}

Image Image::constantColor(Color color) {
    auto node = makeNode(Node::Kind::constant, Rect::infinite());
    const float alpha = static_cast<float>(color.alpha);
    node->color = {static_cast<float>(color.red) * alpha, static_cast<float>(color.green) * alpha,
                   static_cast<float>(color.blue) * alpha, alpha};
    return Image(std::move(node));
}

Rect Image::extent() const { return node_->extent; }

Image Image::transformed(const AffineTransform& transform) const {
    if (transform.isIdentity()) return *this;
    // Consecutive transforms fold into one, so sampling happens once.
    std::shared_ptr<const Node> child = node_;
    AffineTransform total = transform;
    if (node_->kind == Node::Kind::transform) {
        child = node_->child;
        total = node_->transform.concatenating(transform);
    }
    auto node = makeNode(Node::Kind::transform, child->extent.applying(total));
    node->transform = total;
    node->child = std::move(child);
    return Image(std::move(node));
}

Image Image::cropped(const Rect& rect) const {
    const Rect extent = node_->extent;
    if (!extent.isInfinite() && extent.intersection(rect) == extent) return *this;
    std::shared_ptr<const Node> child = node_;
    Rect bounds = rect;
    if (node_->kind == Node::Kind::crop) {
        child = node_->child;
        bounds = node_->rect.intersection(rect);
    }
    auto node = makeNode(Node::Kind::crop, child->extent.intersection(bounds));
    node->rect = bounds;
    node->child = std::move(child);
    return Image(std::move(node));
}

Image Image::clampedToExtent() const {
    if (node_->extent.isInfinite() || node_->extent.isEmpty()) return *this;
    auto node = makeNode(Node::Kind::clamp, Rect::infinite());
    node->rect = node_->extent;
    node->child = node_;
    return Image(std::move(node));
}

Image Image::composited(const Image& background) const {
    auto node = makeNode(Node::Kind::over, node_->extent.unionWith(background.node_->extent));
    node->child = node_;
    node->background = background.node_;
    return Image(std::move(node));
}

} // namespace lumavane::image

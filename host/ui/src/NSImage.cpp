#include <QImage>
#include <QImageReader>

#include "host/AppKitAlert.h"

NSImage::NSImage() : image_(std::make_unique<QImage>()) {}

NSImage::~NSImage() = default;

bool NSImage::initByReferencingFile(const std::string& path) {
    QImageReader reader(QString::fromStdString(path));
    QImage image = reader.read();
    if (image.isNull()) {
        *image_ = QImage();
        path_.clear();
        return false;
    }
    *image_ = std::move(image);
    path_ = path;
    return true;
}

bool NSImage::isValid() const { return !image_->isNull(); }
int NSImage::width() const { return image_->width(); }
int NSImage::height() const { return image_->height(); }
const QImage& NSImage::image() const { return *image_; }

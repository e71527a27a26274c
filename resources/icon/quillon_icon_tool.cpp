// quillon-icon --out DIR: writes the program's icon as PNG files (quillon-SIZE.png) in the
// desktop's hicolor sizes, and as a Windows icon file quillon.ico holding 16 to 256 pixels.
#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <vector>

#include "resources/icon/quillon_icon.h"

namespace {

QByteArray Png(int size) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    quillon_icon::Draw(size).save(&buffer, "PNG");
    return bytes;
}

void Put16(QByteArray& out, unsigned v) {
    out.append(static_cast<char>(v & 0xFF));
    out.append(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(QByteArray& out, unsigned v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// An icon file whose images are PNG data, one directory entry each.
QByteArray Ico(const std::vector<int>& sizes) {
    std::vector<QByteArray> images;
    for (int s : sizes) images.push_back(Png(s));
    QByteArray out;
    Put16(out, 0);
    Put16(out, 1);  // icon
    Put16(out, static_cast<unsigned>(sizes.size()));
    unsigned offset = 6 + 16 * static_cast<unsigned>(sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
        out.append(static_cast<char>(sizes[i] >= 256 ? 0 : sizes[i]));
        out.append(static_cast<char>(sizes[i] >= 256 ? 0 : sizes[i]));
        out.append('\0');  // no palette
        out.append('\0');
        Put16(out, 1);   // planes
        Put16(out, 32);  // bits per pixel
        Put32(out, static_cast<unsigned>(images[i].size()));
        Put32(out, offset);
        offset += static_cast<unsigned>(images[i].size());
    }
    for (const QByteArray& image : images) out.append(image);
    return out;
}

bool Write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "--out") != 0) {
        std::fprintf(stderr, "usage: quillon-icon --out DIR\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(dir);
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        if (!Write(dir + QString("/quillon-%1.png").arg(size), Png(size))) {
            std::fprintf(stderr, "quillon-icon: cannot write into %s\n", argv[2]);
            return 1;
        }
    if (!Write(dir + "/quillon.ico", Ico({16, 24, 32, 48, 64, 128, 256}))) {
        std::fprintf(stderr, "quillon-icon: cannot write quillon.ico\n");
        return 1;
    }
    return 0;
}

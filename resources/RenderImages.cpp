// Build-time tool: renders the client's SVG drawings to PNG and draws the
// animated loading indicator as a GIF (Qt reads GIF but cannot write it).
//   render-images png IN.svg OUT.png SIZE
//   render-images gif OUT.gif
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

int renderPng(const QString& in, const QString& out, int size)
{
    QSvgRenderer renderer(in);
    if (!renderer.isValid()) {
        std::fprintf(stderr, "render-images: cannot read %s\n", qPrintable(in));
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    if (!image.save(out, "PNG")) {
        std::fprintf(stderr, "render-images: cannot write %s\n", qPrintable(out));
        return 1;
    }
    return 0;
}

// GIF image data with LZW "compression" that never grows the code table:
// a clear code before every 12 literal codes keeps the code width at
// minimum size + 1, which every decoder reads.
class GifWriter {
public:
    void byte(int b) { m_out.push_back(static_cast<char>(b & 0xff)); }
    void word(int w)
    {
        byte(w);
        byte(w >> 8);
    }
    void bytes(const char* s, size_t n) { m_out.insert(m_out.end(), s, s + n); }

    void imageData(const std::vector<int>& indices, int minCodeSize)
    {
        const int clear = 1 << minCodeSize;
        const int end = clear + 1;
        const int width = minCodeSize + 1;
        std::vector<unsigned char> packed;
        unsigned bits = 0;
        int bitCount = 0;
        auto put = [&](int code) {
            bits |= static_cast<unsigned>(code) << bitCount;
            bitCount += width;
            while (bitCount >= 8) {
                packed.push_back(static_cast<unsigned char>(bits & 0xff));
                bits >>= 8;
                bitCount -= 8;
            }
        };
        for (size_t i = 0; i < indices.size(); ++i) {
            if (i % 12 == 0)
                put(clear);
            put(indices[i]);
        }
        put(end);
        if (bitCount > 0)
            packed.push_back(static_cast<unsigned char>(bits & 0xff));
        byte(minCodeSize);
        for (size_t at = 0; at < packed.size(); at += 255) {
            const size_t n = std::min<size_t>(255, packed.size() - at);
            byte(static_cast<int>(n));
            bytes(reinterpret_cast<const char*>(packed.data() + at), n);
        }
        byte(0);
    }

    const std::vector<char>& data() const { return m_out; }

private:
    std::vector<char> m_out;
};

// Eight dots on a circle; the bright one walks round, the others fade behind it.
int renderLoadingGif(const QString& out)
{
    const int size = 16;
    const int frames = 8;
    const int shades = 8; // palette: 0 transparent, 1..8 blue from dark to pale
    GifWriter gif;
    gif.bytes("GIF89a", 6);
    gif.word(size);
    gif.word(size);
    gif.byte(0x80 | 0x70 | 3); // global colour table of 16 entries, 8-bit colour
    gif.byte(0);
    gif.byte(0);
    for (int i = 0; i < 16; ++i) {
        if (i == 0 || i > shades) {
            gif.byte(255), gif.byte(255), gif.byte(255);
            continue;
        }
        const double t = (i - 1) / double(shades - 1); // 0 = strongest
        gif.byte(int(31 + t * (215 - 31)));
        gif.byte(int(95 + t * (228 - 95)));
        gif.byte(int(166 + t * (245 - 166)));
    }
    // Loop for ever.
    gif.byte(0x21), gif.byte(0xff), gif.byte(11);
    gif.bytes("NETSCAPE2.0", 11);
    gif.byte(3), gif.byte(1), gif.word(0), gif.byte(0);

    for (int f = 0; f < frames; ++f) {
        std::vector<int> indices(size * size, 0);
        for (int d = 0; d < frames; ++d) {
            const double angle = 2 * M_PI * d / frames - M_PI / 2;
            const double cx = 7.5 + 5.5 * std::cos(angle);
            const double cy = 7.5 + 5.5 * std::sin(angle);
            const int age = (f - d + frames) % frames; // 0 = the bright dot
            const double radius = age == 0 ? 2.0 : 1.6;
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    if (std::hypot(x - cx, y - cy) <= radius)
                        indices[y * size + x] = 1 + age;
        }
        // Graphic control: restore to background, 100 ms, index 0 transparent.
        gif.byte(0x21), gif.byte(0xf9), gif.byte(4);
        gif.byte((2 << 2) | 1);
        gif.word(10);
        gif.byte(0), gif.byte(0);
        gif.byte(0x2c);
        gif.word(0), gif.word(0), gif.word(size), gif.word(size);
        gif.byte(0);
        gif.imageData(indices, 4);
    }
    gif.byte(0x3b);

    QFile file(out);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(gif.data().data(), static_cast<qint64>(gif.data().size()))
            != static_cast<qint64>(gif.data().size())) {
        std::fprintf(stderr, "render-images: cannot write %s\n", qPrintable(out));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == "png")
        return renderPng(args[2], args[3], args[4].toInt());
    if (args.size() == 3 && args[1] == "gif")
        return renderLoadingGif(args[2]);
    std::fprintf(stderr, "usage: render-images png IN.svg OUT.png SIZE | gif OUT.gif\n");
    return 2;
}

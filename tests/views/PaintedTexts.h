#pragma once

#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QStringList>
#include <QWidget>

// Every text a widget really paints, in painting order: a paint device whose engine writes
// down the text items and draws nothing. What a hidden child would have shown is not there.
class PaintedTexts final : public QPaintDevice
{
public:
    explicit PaintedTexts(const QSize &size)
        : m_size(size)
    {}
    ~PaintedTexts() override
    {
        // The engine must outlive any painter still open on this device.
        m_engine.reset();
    }

    [[nodiscard]] static QStringList of(QWidget *widget)
    {
        PaintedTexts device(widget->size());
        widget->render(&device, QPoint(), QRegion(), QWidget::DrawChildren);
        return device.m_engine->texts;
    }

    [[nodiscard]] QStringList recorded() const { return m_engine->texts; }

    // Where each text of the widget itself (not its children) lands, in its coordinates.
    struct Item
    {
        QString text;
        QRectF rect;
    };
    [[nodiscard]] static QList<Item> itemsOf(QWidget *widget)
    {
        PaintedTexts device(widget->size());
        widget->render(&device, QPoint(), QRegion(), {});
        QList<Item> items;
        for (qsizetype i = 0; i < device.m_engine->texts.size(); ++i)
            items.append({device.m_engine->texts.at(i), device.m_engine->rects.at(i)});
        return items;
    }
    [[nodiscard]] QPaintEngine *paintEngine() const override { return m_engine.get(); }

protected:
    [[nodiscard]] int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth:
            return m_size.width();
        case PdmHeight:
            return m_size.height();
        case PdmWidthMM:
            return m_size.width() * 254 / 960;
        case PdmHeightMM:
            return m_size.height() * 254 / 960;
        case PdmNumColors:
            return INT_MAX;
        case PdmDepth:
            return 32;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY:
            return 96;
        case PdmDevicePixelRatio:
            return 1;
        case PdmDevicePixelRatioScaled:
            return int(devicePixelRatioFScale());
        }
        return 0;
    }

private:
    class Engine final : public QPaintEngine
    {
    public:
        Engine()
            : QPaintEngine(QPaintEngine::AllFeatures)
        {}
        bool begin(QPaintDevice *) override { return true; }
        bool end() override { return true; }
        void updateState(const QPaintEngineState &) override {}
        void drawPixmap(const QRectF &, const QPixmap &, const QRectF &) override {}
        void drawImage(const QRectF &, const QImage &, const QRectF &,
                       Qt::ImageConversionFlags) override
        {}
        void drawPath(const QPainterPath &) override {}
        void drawPolygon(const QPointF *, int, PolygonDrawMode) override {}
        void drawPolygon(const QPoint *, int, PolygonDrawMode) override {}
        void drawTextItem(const QPointF &origin, const QTextItem &item) override
        {
            texts.append(item.text());
            const QRectF box(origin.x(), origin.y() - item.ascent(), item.width(),
                             item.ascent() + item.descent());
            rects.append(painter() ? painter()->combinedTransform().mapRect(box) : box);
        }
        [[nodiscard]] Type type() const override { return User; }

        QStringList texts;
        QList<QRectF> rects;
    };

    QSize m_size;
    std::unique_ptr<Engine> m_engine = std::make_unique<Engine>();
};

#include "views/inspectors/BatchInspectorView.h"
#include "InspectorFixture.h"
#include "support/Screenshot.h"

#include <QPushButton>

namespace {

class BatchInspectorViewTest : public InspectorFixture
{
protected:
    std::unique_ptr<BatchInspectorView> makeView(const QList<AppItem> &apps,
                                                 std::optional<TargetVolume> target)
    {
        const auto record = [this](const char *what) {
            return [this, what](const QList<AppItem> &list) {
                QStringList names;
                for (const AppItem &app : list)
                    names << app.name;
                log << QString::fromLatin1(what) + names.join(QLatin1Char(','));
            };
        };
        auto view = std::make_unique<BatchInspectorView>(
            apps, std::move(target),
            [this](bool copyOnly) { log << QStringLiteral("offload:%1").arg(copyOnly); },
            [this] { log << QStringLiteral("restore"); },
            [this] { log << QStringLiteral("clean"); }, record("visible:"), record("promote:"));
        view->resize(560, 900);
        return view;
    }
};

TEST_F(BatchInspectorViewTest, ButtonsCallBackWithTheirLists)
{
    AppItem nested = bundle(QStringLiteral("Applications/Utilities/Editor.app"));
    nested.duplicateAliasPaths = {QStringLiteral("/Applications/Editor 2.app")};
    AppItem copied = bundle(QStringLiteral("Applications/Viewer.app"));
    copied.isCopied = true;
    // A plain bundle when the inspector is built, a proxy by the time of the press.
    const AppItem becomesProxy = bundle(QStringLiteral("Applications/Mixer.app"));
    auto view =
        makeView({nested, copied, becomesProxy, linked(QStringLiteral("Photo Lab"))}, drive());
    writeInfoPlist(becomesProxy.id(), {{QStringLiteral("IsKorvanthelixProxy"), QVariant(true)}});

    const std::pair<const char *, const char *> cases[] = {
        {"restoreButton", "restore"},
        {"offloadButton", "offload:0"},
        {"copyOnlyButton", "offload:1"},
        {"makeVisibleButton", "visible:Mixer,Photo Lab"},
        {"promoteNestedButton", "promote:Editor"},
        {"cleanAliasesButton", "clean"},
    };
    for (const auto &[button, expected] : cases) {
        log.clear();
        click(*view, QString::fromLatin1(button));
        EXPECT_EQ(log, QStringList{QString::fromLatin1(expected)}) << button;
    }
    EXPECT_EQ(child<QPushButton>(*view, QStringLiteral("offloadButton"))->text(),
              QStringLiteral("Offload 3 App(s)"));

    // Without a target only offload and copy refuse; absent callbacks do nothing.
    BatchInspectorView bare({nested, linked(QStringLiteral("Game"))}, std::nullopt, {}, {}, {});
    EXPECT_FALSE(child<QPushButton>(bare, QStringLiteral("copyOnlyButton"))->isEnabled());
    EXPECT_TRUE(child<QPushButton>(bare, QStringLiteral("restoreButton"))->isEnabled());
    log.clear();
    click(bare, QStringLiteral("makeVisibleButton"));
    click(bare, QStringLiteral("restoreButton"));
    EXPECT_TRUE(log.isEmpty());
}

TEST_F(BatchInspectorViewTest, Screenshot)
{
    AppItem editor = bundle(QStringLiteral("Applications/Editor.app"), 480'000'000);
    editor.duplicateAliasPaths = {QStringLiteral("/a"), QStringLiteral("/b")};
    AppItem copied = bundle(QStringLiteral("Applications/Viewer.app"), 90'000'000);
    copied.isCopied = true;
    AppItem guarded = bundle(QStringLiteral("Applications/Utilities/Console.app"), 3'000'000);
    guarded.isProtected = true;
    auto view = makeView({editor, copied, guarded, linked(QStringLiteral("Photo Lab"))}, drive());
    view->show();
    saveScreenshot(view->widget(), QStringLiteral("inspectors/batch"));
    auto empty = makeView({}, std::nullopt);
    empty->show();
    saveScreenshot(empty->widget(), QStringLiteral("inspectors/batch-empty"));
}

} // namespace

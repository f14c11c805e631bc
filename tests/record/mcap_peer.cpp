#include "tests/record/mcap_peer.h"

#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

namespace kestro_test {

namespace {

QJsonObject runPeer(const QStringList& arguments)
{
    QProcess node;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NODE_PATH"), QStringLiteral(KESTRO_MCAP_NODE_MODULES));
    node.setProcessEnvironment(environment);
    node.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    node.start(QStringLiteral(KESTRO_NODE), QStringList{QStringLiteral(KESTRO_MCAP_PEER_SCRIPT)} + arguments);
    if (!node.waitForFinished(60000) || node.exitCode() != 0)
        return {};
    return QJsonDocument::fromJson(node.readAllStandardOutput()).object();
}

} // namespace

QJsonObject readWithReferenceReader(const QString& file, bool full)
{
    return runPeer({full ? QStringLiteral("full") : QStringLiteral("stream"), file});
}

QJsonArray readCutWithReferenceReader(const QString& file, const std::vector<int>& cuts)
{
    QStringList list;
    for (const int cut : cuts)
        list.append(QString::number(cut));
    return runPeer({QStringLiteral("cuts"), file, list.join(QLatin1Char(','))})["cuts"].toArray();
}

} // namespace kestro_test

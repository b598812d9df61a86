// Replaces the configuration of a settings database again and again, for a
// test that kills it in the middle: sync-writer <database> <rows> once|forever.
// "once" stores generation A; "forever" alternates B and A, announcing each
// round on standard output.
#include "ConfigSync.h"
#include "Settings.h"
#include "proto/svc.pb.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

SystemData generation(char tag, int rows)
{
    SystemData data;
    for (int i = 1; i <= rows; ++i) {
        const std::string name = tag + std::to_string(i);
        DVR *dvr = data.add_dvrs();
        dvr->set_id(i);
        dvr->set_name(name);
        Stream *stream = data.add_streams();
        stream->set_id(i);
        stream->set_name(name);
        stream->set_channels("[\"1\",\"2\"]");
        IO *io = data.add_ios();
        io->set_id(i);
        io->set_name(name);
        Door *door = data.add_doors();
        door->set_id(i);
        door->set_name(name);
    }
    return data;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return 2;
    const int rows = args.at(2).toInt();
    Settings settings(args.at(1));
    const SystemData a = generation('A', rows);
    if (args.at(3) == QLatin1String("once")) {
        ConfigSync::store(ConfigSync::records(a), settings);
        return 0;
    }
    const SystemData b = generation('B', rows);
    for (int round = 0;; ++round) {
        std::printf("round %d\n", round);
        std::fflush(stdout);
        ConfigSync::store(ConfigSync::records(round % 2 ? a : b), settings);
    }
}

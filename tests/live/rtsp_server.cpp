// A small RTSP server for the live tests: serves one launch description at one path on
// 127.0.0.1 until it is killed.
//
//   rtsp_server PORT PATH "( filesrc location=clip.ts ! tsparse set-timestamps=true ! rtpmp2tpay name=pay0 )"
#include <gst/rtsp-server/rtsp-server.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    gst_init(&argc, &argv);
    if (argc != 4) {
        fprintf(stderr, "usage: rtsp_server PORT PATH LAUNCH\n");
        return 1;
    }
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    GstRTSPServer* server = gst_rtsp_server_new();
    g_object_set(server, "address", "127.0.0.1", "service", argv[1], nullptr);
    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, argv[3]);
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
    gst_rtsp_mount_points_add_factory(mounts, argv[2], factory);
    g_object_unref(mounts);
    if (gst_rtsp_server_attach(server, nullptr) == 0) {
        fprintf(stderr, "rtsp_server: cannot listen on 127.0.0.1:%s\n", argv[1]);
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    g_main_loop_run(loop);
    return 0;
}

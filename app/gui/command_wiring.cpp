#include "app/gui/command_wiring.h"

#include "app/gui/application.h"
#include "app/gui/publishing.h"
#include "display/main_frame.h"
#include "export/window_capture.h"
#include "firmware/firmware_commands.h"
#include "recordings/gui/edf_load.h"

void WireSubsystemCommands(CVELTMonitoringApp& app) {
    CMainFrame* frame = app.MainFrame();
    app.on_load_edf = [frame] { recordings::LoadEdfCommand(frame); };
    app.on_stop_replay = [] { recordings::StopCurrentReplay(); };
    app.replay_progress_text = [] { return recordings::ReplayProgressText(); };
    app.on_copy_as_image = [frame] { image_export::CopyWindowImage(frame); };
    app.on_save_as_image = [frame] { image_export::SaveWindowImage(frame); };
    // The readers trace to the debugger output; the commands show nothing.
    app.on_elf_to_flash = [] { firmware::ElfToFlashCommand(); };
    app.on_d43_to_flash = [] { firmware::D43ToFlashCommand(); };
    // Publishing lives as long as the main window; its settings are read at start.
    auto* publishing = new Publishing(&app, frame);
    publishing->Apply(config::ReadPublishSettings());
    app.on_publish = [publishing, frame] { publishing->RunDialog(frame); };
    app.on_marked = [publishing](CVELTMonitoringView* view, uint64_t at_us,
                                 const std::string& text) {
        publishing->Marked(view, at_us, text);
    };
}

#pragma once
// A calling fax machine: spandsp's fax terminal sending a TIFF, with calling tone.

#include <cstdint>
#include <string>

struct fax_state_s;
struct t30_state_s;

// The best coding the machine offers; it sends in the best one both ends have (MMR needs ECM).
enum class FaxCoding { kMh, kMr, kMmr };
bool parseFaxCoding(const std::string& text, FaxCoding& coding);

struct FaxOffer {
    bool v17 = false;  // V.17 (7200 to 14400 bit/s) as well
    bool ecm = false;  // error correction mode
    FaxCoding coding = FaxCoding::kMh;
};

class FaxSender {
public:
    FaxSender() = default;
    ~FaxSender();
    FaxSender(const FaxSender&) = delete;
    FaxSender& operator=(const FaxSender&) = delete;

    // rateBps 0 lets the sender pick; 2400, 4800, 7200 or 9600 fixes the first rate.
    // Without calling tone the machine is silent until it has heard the far end's DIS.
    bool start(const std::string& tiffPath, int rateBps, bool callingTone, const FaxOffer& offer,
               bool trace, std::string& error);
    void rx(const int16_t* samples, int count);
    void tx(int16_t* samples, int count);
    // The call ended under the session (the far end hung up or never answered).
    void callDropped();
    bool finished() const { return m_finished; }
    std::string resultLine() const;

    static bool validRate(int rateBps);

private:
    static void onPhaseE(t30_state_s* t30, void* user, int code);
    static int onPhaseB(t30_state_s* t30, void* user, int result);

    fax_state_s* m_fax = nullptr;
    int m_rateBps = 0;
    bool m_callingTone = true;
    bool m_finished = false;
    int m_code = 0;
    int m_pages = 0;
    int m_bitRate = 0;
    bool m_ecmUsed = false;
    int m_encoding = 0;
};

// Ambient dose rate from a NaI spectrum: spectrum-to-dose conversion with a
// dead-time correction.
//
// Every step keeps a fixed precision and order of operations so that results
// are reproducible to the last bit; build with -ffp-contract=off so no product
// and sum fuse into one rounding.
#include "dose/dose.h"

#include <cmath>

// Conversion coefficient per bin of four channels (shortest decimal form of
// each single-precision value). The
// channels below 16 and the last bin carry no coefficient: 0.
const float effi_bgo_2x2_gy[kDoseBins] = {
    0.0f, 0.0f, 0.0f, 0.0f, 0.04442464f, 0.03468781f, 0.02681348f, 0.023406195f,  // bin 0
    0.023591423f, 0.025841001f, 0.0288715f, 0.03286936f, 0.036167488f, 0.039165042f, 0.04315712f, 0.04705895f,  // bin 8
    0.05163053f, 0.056334585f, 0.06180173f, 0.06741539f, 0.07379058f, 0.080310054f, 0.08758905f, 0.09501063f,  // bin 16
    0.10319044f, 0.11212809f, 0.121823415f, 0.13227645f, 0.14287099f, 0.15422222f, 0.16632631f, 0.17855918f,  // bin 24
    0.19152613f, 0.20521523f, 0.21899803f, 0.23286197f, 0.2474105f, 0.26201454f, 0.27666077f, 0.29195175f,  // bin 32
    0.3072575f, 0.3225638f, 0.33785632f, 0.3531207f, 0.36834332f, 0.38351232f, 0.3992361f, 0.41428104f,  // bin 40
    0.42926872f, 0.44420978f, 0.45911732f, 0.47400522f, 0.48888782f, 0.5037797f, 0.5180795f, 0.5324184f,  // bin 48
    0.54742694f, 0.5618861f, 0.5758061f, 0.59042424f, 0.6045073f, 0.61866486f, 0.63288647f, 0.64716023f,  // bin 56
    0.66085774f, 0.67458254f, 0.68832237f, 0.70144844f, 0.71518075f, 0.7282746f, 0.740718f, 0.7537318f,  // bin 64
    0.7660737f, 0.7783519f, 0.78994524f, 0.802084f, 0.8135363f, 0.8243038f, 0.83562136f, 0.84625924f,  // bin 72
    0.85683626f, 0.86735505f, 0.8778181f, 0.88761175f, 0.8979709f, 0.90766555f, 0.9166981f, 0.9263033f,  // bin 80
    0.93525106f, 0.944776f, 0.95364815f, 0.9624858f, 0.97129107f, 0.9800663f, 0.9888136f, 0.9981511f,  // bin 88
    1.0068487f, 1.0155246f, 1.0241808f, 1.0328192f, 1.0414414f, 1.0500495f, 1.0592611f, 1.067845f,  // bin 96
    1.0770347f, 1.0855992f, 1.0947716f, 1.1039368f, 1.1124796f, 1.1216333f, 1.1313987f, 1.1405445f,  // bin 104
    1.1496876f, 1.158829f, 1.1685851f, 1.1783403f, 1.187479f, 1.1972337f, 1.2069882f, 1.2167428f,  // bin 112
    1.2264972f, 1.2368678f, 1.2466223f, 1.2569929f, 1.2673635f, 1.2777342f, 1.2881049f, 1.2984755f,  // bin 120
    1.3088461f, 1.3192167f, 1.3295875f, 1.3399581f, 1.3503287f, 1.3606993f, 1.37107f, 1.3814406f,  // bin 128
    1.3918113f, 1.4021819f, 1.4119364f, 1.422307f, 1.4320614f, 1.442432f, 1.4521866f, 1.4619411f,  // bin 136
    1.4710793f, 1.4808339f, 1.4905883f, 1.4997267f, 1.5088649f, 1.5180031f, 1.5265254f, 1.5356637f,  // bin 144
    1.544186f, 1.5527081f, 1.5612301f, 1.5691361f, 1.5776583f, 1.5855644f, 1.5934705f, 1.6007603f,  // bin 152
    1.6086661f, 1.615956f, 1.6232458f, 1.6299195f, 1.6372094f, 1.643883f, 1.6505566f, 1.6572303f,  // bin 160
    1.6632879f, 1.6693454f, 1.6760192f, 1.6814601f, 1.6875178f, 1.6935754f, 1.6990168f, 1.7050743f,  // bin 168
    1.7105155f, 1.7159568f, 1.7213982f, 1.7268397f, 1.7316649f, 1.7371063f, 1.7419312f, 1.7473725f,  // bin 176
    1.7521979f, 1.7570231f, 1.7624645f, 1.7672895f, 1.7721146f, 1.7769399f, 1.7817651f, 1.7865903f,  // bin 184
    1.7907995f, 1.7956243f, 1.8004496f, 1.8052748f, 1.8101001f, 1.8143091f, 1.8191342f, 1.8239592f,  // bin 192
    1.8281684f, 1.8329936f, 1.8378189f, 1.842028f, 1.846853f, 1.8516781f, 1.8565034f, 1.8607124f,  // bin 200
    1.8655376f, 1.870363f, 1.8745717f, 1.8793969f, 1.8842221f, 1.8884312f, 1.8932565f, 1.8980815f,  // bin 208
    1.9029067f, 1.9071157f, 1.9119409f, 1.9167662f, 1.9209753f, 1.9258002f, 1.9306254f, 1.9354507f,  // bin 216
    1.9396597f, 1.9444851f, 1.9493101f, 1.9541352f, 1.9583442f, 1.9631695f, 1.9679947f, 1.97282f,  // bin 224
    1.9770287f, 1.981854f, 1.9866792f, 1.9915044f, 1.9957136f, 2.0005386f, 2.0053637f, 2.0101888f,  // bin 232
    2.014398f, 2.0192232f, 2.0240486f, 2.0288734f, 2.0330825f, 2.0379078f, 2.042733f, 2.0475583f,  // bin 240
    2.0517673f, 2.0565922f, 2.0614173f, 2.0662425f, 2.0710676f, 2.0752766f, 2.0801017f, 0.0f,  // bin 248
};

const float effi_bgo_2x2_sv[kDoseBins] = {
    0.0f, 0.0f, 0.0f, 0.0f, 0.07165694f, 0.058622397f, 0.045457784f, 0.039369218f,  // bin 0
    0.03911458f, 0.042203523f, 0.046425372f, 0.052025627f, 0.056334477f, 0.06001651f, 0.06504641f, 0.06974137f,  // bin 8
    0.075215355f, 0.08078379f, 0.08751125f, 0.094246715f, 0.101831f, 0.10944654f, 0.118210174f, 0.12697221f,  // bin 16
    0.13654159f, 0.1468878f, 0.15824375f, 0.17036147f, 0.1824291f, 0.19522065f, 0.20927176f, 0.2234204f,  // bin 24
    0.23831213f, 0.25391692f, 0.2699545f, 0.28623393f, 0.303256f, 0.32024464f, 0.3371831f, 0.35480312f,  // bin 32
    0.37233463f, 0.3897603f, 0.40723848f, 0.4249596f, 0.44257188f, 0.4600614f, 0.47815713f, 0.4953807f,  // bin 40
    0.5124782f, 0.5294625f, 0.5463496f, 0.5637818f, 0.5811898f, 0.5985911f, 0.6152713f, 0.6319806f,  // bin 48
    0.6494673f, 0.6662845f, 0.68244535f, 0.6994166f, 0.7157367f, 0.732128f, 0.7485781f, 0.7650729f,  // bin 56
    0.7808695f, 0.796682f, 0.8124957f, 0.8275689f, 0.8433412f, 0.85834444f, 0.8725658f, 0.88744384f,  // bin 64
    0.90151554f, 0.9154975f, 0.9286596f, 0.94244874f, 0.95541704f, 0.9675678f, 0.980351f, 0.9923236f,  // bin 72
    1.0042121f, 1.0160197f, 1.0277494f, 1.0386833f, 1.0505233f, 1.0617094f, 1.0721177f, 1.0831926f,  // bin 80
    1.0934955f, 1.1044701f, 1.1146784f, 1.1248434f, 1.1349676f, 1.1450535f, 1.1551038f, 1.1658405f,  // bin 88
    1.1758267f, 1.1857846f, 1.1957164f, 1.2056245f, 1.215511f, 1.2253779f, 1.2359458f, 1.2457784f,  // bin 96
    1.2563149f, 1.2661188f, 1.2766287f, 1.2871273f, 1.2968969f, 1.3073758f, 1.3185644f, 1.3290277f,  // bin 104
    1.3394847f, 1.3499364f, 1.361101f, 1.3722615f, 1.3827006f, 1.3938537f, 1.4050033f, 1.4161495f,  // bin 112
    1.4272923f, 1.4391487f, 1.4502847f, 1.4621342f, 1.4739801f, 1.4858223f, 1.4976611f, 1.5094963f,  // bin 120
    1.521328f, 1.533156f, 1.5449805f, 1.5568016f, 1.568619f, 1.5804329f, 1.5922432f, 1.6040499f,  // bin 128
    1.6158531f, 1.6276528f, 1.6387337f, 1.6505263f, 1.6616005f, 1.6733861f, 1.6844535f, 1.6955175f,  // bin 136
    1.7058636f, 1.7169211f, 1.7279751f, 1.7383118f, 1.7486451f, 1.7589753f, 1.7685887f, 1.7789129f,  // bin 144
    1.7885203f, 1.7981248f, 1.8077259f, 1.8166113f, 1.8262072f, 1.835087f, 1.843964f, 1.8521254f,  // bin 152
    1.8609967f, 1.8691531f, 1.8773069f, 1.8847458f, 1.8928947f, 1.9003288f, 1.9077604f, 1.91519f,  // bin 160
    1.9219054f, 1.9286187f, 1.9360416f, 1.9420385f, 1.9487455f, 1.9554505f, 1.961442f, 1.968143f,  // bin 168
    1.9741304f, 1.980116f, 1.9861001f, 1.9920821f, 1.9973518f, 2.0033302f, 2.008596f, 2.0145707f,  // bin 176
    2.0198336f, 2.0250945f, 2.031064f, 2.0363214f, 2.0415773f, 2.0468316f, 2.0520842f, 2.0573354f,  // bin 184
    2.0618753f, 2.0671227f, 2.0723689f, 2.0776134f, 2.0828562f, 2.0873885f, 2.092628f, 2.0978658f,  // bin 192
    2.1023936f, 2.1076283f, 2.1128616f, 2.117385f, 2.1226146f, 2.1278427f, 2.1330693f, 2.1375864f,  // bin 200
    2.1428099f, 2.1480317f, 2.1525438f, 2.1577625f, 2.1629794f, 2.1674874f, 2.1727011f, 2.177913f,  // bin 208
    2.183123f, 2.1876252f, 2.1928325f, 2.1980379f, 2.2025354f, 2.2077372f, 2.212938f, 2.218137f,  // bin 216
    2.2226284f, 2.2278242f, 2.2330182f, 2.2382104f, 2.2426958f, 2.2478852f, 2.2530727f, 2.2582588f,  // bin 224
    2.2627375f, 2.2679205f, 2.2731016f, 2.2782812f, 2.2827542f, 2.2879303f, 2.2931046f, 2.2982776f,  // bin 232
    2.3027446f, 2.3079145f, 2.3130827f, 2.3182487f, 2.3227096f, 2.327873f, 2.3330345f, 2.3381946f,  // bin 240
    2.3426492f, 2.3478057f, 2.3529606f, 2.358114f, 2.3632658f, 2.3677127f, 2.3728611f, 0.0f,  // bin 248
};

float dose_dead_time(const SampleRecord* sample) {
    // Dividing in float gives the same value as dividing in double and
    // rounding, so no double is needed here.
    const float t = static_cast<float>(sample->live_time) / 1000.0f;
    const float r = static_cast<float>(sample->real_time) / 1000.0f;
    return (1.0f - t / r) * 100.0f;
}

void dose_calc_nai16(const SampleRecord* sample, float* out, float dose_factor,
                     double dead_time_c3, double dead_time_c2, double dead_time_c1,
                     double dead_time_limit, int32_t table_select) {
    *out = 0.0f;

    // Dividing in float gives the same value as dividing in double and
    // rounding, so no double is needed here.
    const float t = static_cast<float>(sample->live_time) / 1000.0f;
    if (t <= 0.0f) {
        return;  // no live time, no rate
    }

    const float* const coefficient = (table_select == 1) ? effi_bgo_2x2_sv : effi_bgo_2x2_gy;

    // The four counts of a bin are added as 64-bit integers so that the bin
    // sum cannot overflow; wherever a 32-bit sum would not overflow the value
    // is the same.
    float weighted_sum = 0.0f;
    for (int g = 0; g < kDoseBins; ++g) {
        const int32_t* const n = &sample->channel[4 * g];
        const int64_t bin_counts = static_cast<int64_t>(n[0]) + n[1] + n[2] + n[3];
        weighted_sum += static_cast<float>(bin_counts) * coefficient[g];
    }

    const float dead_time = dose_dead_time(sample);

    // Dead-time polynomial: the mixture of single and double precision is
    // deliberate, so that the correction is reproduced bit for bit.
    const double d = dead_time;
    const double a2 = static_cast<float>(dead_time_c2 / 1000.0);
    const double term2 = a2 * d * d;
    const double a3 = static_cast<float>(dead_time_c3 / 1000.0);
    const double term3 = a3 * std::pow(d, 3.0);
    const float a1 = static_cast<float>(dead_time_c1 / 1000.0);
    const double term1 = a1 * dead_time;  // single-precision product, then widened
    const float correction = static_cast<float>(((term2 + term3) + term1) + 1.0);

    float dose = (dose_factor * weighted_sum) / (correction * t);
    // A dead time above the limit is flagged by the sign, not by an error.
    if (static_cast<double>(dead_time) > dead_time_limit) {
        dose = -dose;
    }
    *out = dose;
}

bool dose_dead_time_over_limit(const SampleRecord* sample) {
    return sample->live_time != 0 && static_cast<double>(dose_dead_time(sample)) > kDeadTimeLimitPercent;
}

const char* dose_quantity(int32_t table_select) {
    return table_select == 1 ? "ambient dose equivalent rate" : "air kerma rate";
}

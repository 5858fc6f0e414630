// European implied volatility after Jaeckel, "Let's Be Rational" (Wilmott,
// 2015).  Notation of the paper: x = ln(F/K) <= 0 after the reductions,
// s = sigma sqrt(t), h = x/s, t = s/2 (here `half_s`, to keep t for time).
// With H = -h >= 0, u = H - s/2 and v = H + s/2 every price is
//   b(x, s) = phi~ (R(u) - R(v)),   phi~ = e^{-(H^2 + (s/2)^2)/2} / sqrt(2 pi),
// R the Mills ratio, and phi~ = db/ds is the normalised vega.  The form
// evaluates b without overflow and, region by region, without cancellation:
// an asymptotic series when u is large, a Taylor series in s/2 when s is
// small, the difference of two Mills ratios elsewhere.
#include "implied_volatility.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

#include "implied_volatility_detail.hpp"

namespace greekmill::implied_volatility {
namespace detail {
namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// sqrt(pi) (0x3FFC5BF891B4EF6B), 1/sqrt(2 pi) (0x3FD9884533D43651),
// sqrt(pi/2) (0x3FF40D931FF62706), ln sqrt(2 pi) (0x3FED67F1C864BEB5),
// 1/sqrt 2 (0x3FE6A09E667F3BCD), sqrt 3 (0x3FFBB67AE8584CAA) and
// 2 pi / (3 sqrt 3) (0x3FF358E1A79ED7E1), each rounded to double.
constexpr double kSqrtPi = 1.772453850905516;
constexpr double kInvSqrt2Pi = 0.3989422804014327;
constexpr double kSqrtHalfPi = 1.2533141373155003;
constexpr double kLogSqrt2Pi = 0.9189385332046728;
constexpr double kInvSqrt2 = 0.7071067811865476;
constexpr double kSqrt3 = 1.7320508075688772;
constexpr double kTwoPiOver3Sqrt3 = 1.2091995761561452;

// Region boundaries of b(x, s), chosen so that the rounding error of each
// form stays below what the conditioning of sigma on the price allows
// (docs/implied_volatility.md): the asymptotic series from u = 10 on (its
// terms fall at least as fast as 1/u^2 = 0.01 until far past the last one
// needed), the Taylor series in s/2 while s/2 < 1/2 and H s/2 = |x|/2 < 1
// (where the difference R(u) - R(v) would cancel more than the vega allows).
constexpr double kAsymptoticU = 10.0;
constexpr double kTaylorHalfS = 0.5;
constexpr double kTaylorProduct = 1.0;

// erfcx(y) = e^{y^2} erfc(y) on [0, 26): rows of 16 coefficients in
// t = (y - centre) / half-width, the intervals named above each row; made by
// scripts/erfcx_table.py.
constexpr double kScaledErfcTable[25][16] = {
    // [0, 0.5)
    {0.7703465477309968, -0.18580147330750355, 0.03653406715146833, -0.006219475256501464,
     0.0009473309967175978, -0.00013180360649463758, 1.6990153963918442e-05, -2.050240223600746e-06,
     2.334361484816801e-07, -2.5233390206251094e-08, 2.6025424260319144e-09, -2.5716863460939376e-10,
     2.4421553046429696e-11, -2.237653185318005e-12, 2.038864596822493e-13, -1.7316276011102158e-14},
    // [0.5, 1)
    {0.5069376502931449, -0.09199317291394885, 0.014434883221956143, -0.002028688468670017,
     0.00026090055674830696, -3.1149669960628894e-05, 3.488573893117888e-06, -3.6935621930398786e-07,
     3.719539403434223e-08, -3.5801394069614617e-09, 3.30687765863947e-10, -2.940997498272295e-11,
     2.524929741372585e-12, -2.099128400502534e-13, 1.7336029244966647e-14, -1.3492505351492431e-15},
    // [1, 1.5)
    {0.3678229164523611, -0.052205468991152464, 0.006674723218537425, -0.0007846605374360558,
     8.598189160491006e-05, -8.868776985287674e-06, 8.674584724741381e-07, -8.091936826644813e-08,
     7.232212963070306e-09, -6.216431023793173e-10, 5.155001838555996e-11, -4.135151325593448e-12,
     3.2154744575445867e-13, -2.4297031565410058e-14, 1.8228884163074476e-15, -1.3002891489570523e-16},
    // [1.5, 2)
    {0.2849722347374364, -0.0327440863786213, 0.0034852268804429543, -0.0003478124256466926,
     3.2829371903628235e-05, -2.950170558032371e-06, 2.537120416131761e-07, -2.0967611906122182e-08,
     1.6709180954490079e-09, -1.2876646141196911e-10, 9.619416210036916e-12, -6.980749421774154e-13,
     4.929457943219616e-14, -3.3936826285268436e-15, 2.3195030405342913e-16, -1.5182487680073008e-17},
    // [2, 2.5)
    {0.23108725873039188, -0.02212162570218729, 0.0019995392131691415, -0.00017190719931937573,
     1.4136700602961235e-05, -1.116922347318114e-06, 8.509165577296145e-08, -6.2695972386080544e-09,
     4.478950094506867e-10, -3.109086320293534e-11, 2.100966196313696e-12, -1.3843380722884577e-13,
     8.906081079724764e-15, -5.602742945929137e-16, 3.499766698104957e-17, -2.1062842802945865e-18},
    // [2.5, 3)
    {0.1936620962790687, -0.01580940939015871, 0.001234912061707679, -9.272402964059338e-05,
     6.717116739410992e-06, -4.7089363767681153e-07, 3.2026806770138625e-08, -2.1178350572394168e-09,
     1.3641595527218663e-10, -8.573049287365849e-12, 5.264052667575859e-13, -3.162037170224046e-14,
     1.8600990015943875e-15, -1.0728341387091077e-16, 6.146112164683847e-18, -3.4095223238319916e-19},
    // [3, 3.5)
    {0.16633534842682188, -0.011799850580292594, 0.0008085806801886348, -5.367923907668084e-05,
     3.4609553809932485e-06, -2.1717047809421518e-07, 1.328623262017818e-08, -7.937402505700843e-10,
     4.636889628494583e-11, -2.6520083159967877e-12, 1.486598699005605e-13, -8.175344054658648e-15,
     4.414415632891002e-16, -2.342552061785801e-17, 1.2352766840803554e-18, -6.33431167274557e-20},
    // [3.5, 4)
    {0.14558972127503855, -0.009114064383180883, 0.0005549222204578311, -3.292629484639235e-05,
     1.9071186800608103e-06, -1.0798786613700472e-07, 5.985431000119983e-09, -3.251143059859104e-10,
     1.732369390981027e-11, -9.063735737924895e-13, 4.660113223584976e-14, -2.35632556439135e-15,
     1.172485145733029e-16, -5.745405819659343e-18, 2.798967003166025e-19, -1.3307026965208812e-20},
    // [4, 4.5)
    {0.12934527478598792, -0.007236082853653833, 0.00039574164211704684, -2.1186455736001536e-05,
     1.1116217064068975e-06, -5.722216817710699e-08, 2.8926009874183947e-09, -1.4371341769635325e-10,
     7.0230138524657044e-12, -3.3780808608464587e-13, 1.6003455615672057e-14, -7.471517619807744e-16,
     3.4393648405398365e-17, -1.5619385219788984e-18, 7.055373684479341e-20, -3.1195279964154072e-21},
    // [4.5, 5)
    {0.11630270721024731, -0.005875862149540788, 0.00029133289806077125, -1.4189045266088914e-05,
     6.794074376588086e-07, -3.200759876428878e-08, 1.484647107027558e-09, -6.784470947795692e-11,
     3.056212920951934e-12, -1.3578699969674387e-13, 5.953249265682821e-15, -2.5767349414958415e-16,
     1.1014919328950067e-17, -4.652428533229938e-19, 1.955455318308005e-20, -8.065600090024907e-22},
    // [5, 5.5)
    {0.1056127354688918, -0.004861361168037162, 0.0002202594337569623, -9.829710797539739e-06,
     4.3235959401961866e-07, -1.875398307819366e-08, 8.026239453656692e-10, -3.3908575455620084e-11,
     1.414747824940721e-12, -5.831765460234906e-14, 2.375963526684254e-15, -9.570933691223729e-17,
     3.813145845737318e-18, -1.5030682025527071e-19, 5.898353034745484e-21, -2.27638634932564e-22},
    // [5.5, 6)
    {0.09669877816971392, -0.004085804535950621, 0.00017032961517810219, -7.009307785594623e-06,
     2.8486050341955823e-07, -1.1437905173619568e-08, 4.5393092554808914e-10, -1.7812390821670625e-11,
     6.913427601445548e-13, -2.654871303042832e-14, 1.0090295193337469e-15, -3.796630033359997e-17,
     1.4146150930358523e-18, -5.220896049390146e-20, 1.9190258812610632e-21, -6.949997304360205e-23},
    // [6, 6.5)
    {0.08915663178727438, -0.003480317438645675, 0.00013429348882078198, -5.1241757552552214e-06,
     1.934092168562956e-07, -7.22363334619578e-09, 2.6704965002919024e-10, -9.77485884760781e-12,
     3.5434654435730377e-13, -1.2724933869769944e-14, 4.527899744134058e-16, -1.596800708629828e-17,
     5.582220321826636e-19, -1.9349201904033404e-20, 6.681975959359495e-22, -2.277219130188834e-23},
    // [6.5, 7)
    {0.08269505677505307, -0.0029989751580740674, 0.0001076704691908272, -3.828020413405556e-06,
     1.348099384024124e-07, -4.703801913510521e-09, 1.6265180703392368e-10, -5.575055778474751e-12,
     1.8945782836036476e-13, -6.3846446212018875e-15, 2.1340529625013205e-16, -7.076155258753248e-18,
     2.3280151360018317e-19, -7.6006287792227e-21, 2.473093828729026e-22, -7.952134939569149e-24},
    // [7, 7.5)
    {0.0770991803512599, -0.002610263000561, 8.759708343693146e-05, -2.91448253708282e-06,
     9.615905817280235e-08, -3.146746251788802e-09, 1.0215451814431444e-10, -3.290450457208657e-12,
     1.0517898258201042e-13, -3.3369439211593323e-15, 1.0509511134539087e-16, -3.286201218181375e-18,
     1.0203354554826687e-19, -3.1462515474848227e-21, 9.671604968513339e-23, -2.9415025066755294e-24},
    // [7.5, 8)
    {0.07220717081466976, -0.0022920048670328217, 7.218874604076837e-05, -2.256405823708424e-06,
     7.000517205647578e-08, -2.156137248941872e-09, 6.593577790161961e-11, -2.002288106994014e-12,
     6.038822788749595e-14, -1.8090700344295538e-15, 5.38382104335807e-17, -1.5918808739027138e-18,
     4.676961220756212e-20, -1.3655360712298527e-21, 3.975679634718909e-23, -1.1463860976209931e-24},
    // [8, 10)
    {0.06230772403777468, -0.006840134415568259, 0.0007465142976603509, -8.100382441673457e-05,
     8.739938954868554e-06, -9.377495291626679e-07, 1.0006439747851907e-07, -1.061998626998889e-08,
     1.1211302216585736e-09, -1.177364265222227e-10, 1.2300562773462289e-11, -1.2785697499652254e-12,
     1.321375297060379e-13, -1.3600608534450887e-14, 1.4527305905782332e-15, -1.4756092430600956e-16},
    // [10, 12)
    {0.051080594758088446, -0.004606082417566812, 0.00041368816485350867, -3.700840278547795e-05,
     3.2978671066255746e-06, -2.927458450384219e-07, 2.5887603734750166e-08, -2.2806297030821185e-09,
     2.0016924849370717e-10, -1.7503989176328647e-11, 1.5250771658310343e-12, -1.323963599588302e-13,
     1.1448558229963948e-14, -9.868983638631008e-16, 8.731470593874909e-17, -7.4573252031643e-18},
    // [12, 14)
    {0.043271921864609694, -0.003309198615660565, 0.0002523398610223522, -1.9186948246657623e-05,
     1.454766907901524e-06, -1.0999137757510631e-07, 8.292999808410501e-09, -6.235371617545038e-10,
     4.675417628371549e-11, -3.4961930213697244e-12, 2.6073364956599274e-13, -1.939249817947696e-14,
     1.4382360579415635e-15, -1.0640917692170715e-16, 8.025058941799773e-18, -5.897009035080889e-19},
    // [14, 16)
    {0.03752960638850576, -0.0024909754403396015, 0.00016497478341174303, -1.0902459442304031e-05,
     7.189458885912842e-07, -4.7308445373904896e-08, 3.106402660906497e-09, -2.035444172425348e-10,
     1.3309100555815227e-11, -8.684241647702998e-13, 5.6547640892908085e-14, -3.674527848940441e-15,
     2.382588548685169e-16, -1.5419476596127848e-17, 1.0126438360435229e-18, -6.519405572230059e-20},
    // [16, 18)
    {0.03313049999972554, -0.001942167104844326, 0.00011365921737199293, -6.64027301363082e-06,
     3.8728807013449455e-07, -2.255032853776496e-08, 1.3108283308304402e-09, -7.607054675812961e-11,
     4.4072589841203765e-12, -2.5492088988520715e-13, 1.472077427424584e-14, -8.486868772168473e-16,
     4.8845953645803143e-17, -2.807009545431819e-18, 1.6318458570477072e-19, -9.339093396736146e-21},
    // [18, 20)
    {0.029653230641262164, -0.00155640272755036, 8.157881780532469e-05, -4.270126166127221e-06,
     2.2321032445374616e-07, -1.16520006024174e-08, 6.074376692719201e-10, -3.162425321484996e-11,
     1.6442145472149993e-12, -8.537262524348213e-14, 4.426934001953451e-15, -2.29252388572759e-16,
     1.185586583858333e-17, -6.123600503808403e-19, 3.192535093261289e-20, -1.6434752168544424e-21},
    // [20, 22)
    {0.026835813158647956, -0.0012750144322983949, 6.051008038166324e-05, -2.8684961889779155e-06,
     1.3583020656350746e-07, -6.424740457703603e-09, 3.035523172439425e-10, -1.4326227308865997e-11,
     6.753859393961345e-13, -3.18050179283435e-14, 1.4961126716285448e-15, -7.030067010019998e-17,
     3.299658812534449e-18, -1.5471198069276967e-19, 7.310055276298581e-21, -3.418091289181575e-22},
    // [22, 24)
    {0.024506862089282606, -0.0010635109885127022, 4.610935349045537e-05, -1.9972388214858808e-06,
     8.643029814005392e-08, -3.736785705856225e-09, 1.614089684535862e-10, -6.965551835369988e-12,
     3.00319060009714e-13, -1.2936323319654053e-14, 5.567247515281212e-16, -2.3937178135228592e-17,
     1.0282521723413938e-18, -4.4130849224283884e-20, 1.9062722160434386e-21, -8.162604109069558e-23},
    // [24, 26)
    {0.02254957243264136, -0.0009005454634446267, 3.5935846525691044e-05, -1.4328668682337213e-06,
     5.708740992400701e-08, -2.2726480534184275e-09, 9.040286284877563e-11, -3.593280628300195e-12,
     1.4271178531536433e-13, -5.663554524482493e-15, 2.2458444560470994e-16, -8.89881889709513e-18,
     3.523230358689262e-19, -1.3938670472537555e-20, 5.544735769801696e-22, -2.189335497681286e-23},
};

// The Householder iteration: at least two steps, more only while the last
// relative step exceeds kConvergedStep.
constexpr int kMaxIterations = 8;
constexpr double kConvergedStep = 1e-5;

// Where the series forms of b stop: at full precision for the step that
// delivers the result; at 1e-12 for the end points of the initial guesses
// and for the first step, whose error the fourth-order second step removes.
constexpr double kFullPrecision = 0.0625 * kEpsilon;
constexpr double kGuessPrecision = 1e-12;

// Veltkamp's split for Dekker's exact product (2^27 + 1).
constexpr double kSplitter = 134217729.0;

struct TwoDouble {
    double hi;
    double lo;
};

// a * b = hi + lo exactly (Dekker 1971), without a fused multiply-add: the
// core is built with contraction off, so every step below rounds as written.
// Used for the log-moneyness, where the rounding of s / k is recovered.
[[nodiscard]] inline TwoDouble exact_product(double a, double b) noexcept {
    const double p = a * b;
    const double ca = kSplitter * a;
    const double a_hi = ca - (ca - a);
    const double a_lo = a - a_hi;
    const double cb = kSplitter * b;
    const double b_hi = cb - (cb - b);
    const double b_lo = b - b_hi;
    const double e = ((a_hi * b_hi - p) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo;
    return {p, e};
}

// Phi(z) through erfc, accurate in the lower tail.
[[nodiscard]] inline double normal_cdf_of(double z) noexcept {
    return 0.5 * std::erfc(-z * kInvSqrt2);
}

// The normalised vega phi~ = e^{-(H^2 + (s/2)^2)/2} / sqrt(2 pi).
[[nodiscard]] inline double normalised_vega(double big_h, double half_s) noexcept {
    return std::exp(-0.5 * (big_h * big_h + half_s * half_s)) * kInvSqrt2Pi;
}

// R(u) - R(v) for u = H - s/2 >= 10 from the asymptotic expansion
//   R(z) ~ sum_k (-1)^k (2k-1)!! / z^{2k+1}   (Abramowitz & Stegun 26.2.12).
// Each difference of powers is formed without cancellation:
//   u^{-n} - v^{-n} = u^{-n} (1 - rho^n) = u^{-n} (2 s/2 / v) (1 + rho + ... + rho^{n-1}),
// rho = u / v, so the series is (s / (u v)) sum_k (-1)^k (2k-1)!! u^{-2k} S_{2k+1}.
[[nodiscard]] double mills_difference_asymptotic(double u, double v, double s,
                                                double tolerance) noexcept {
    const double rho = u / v;
    const double a = 1.0 / (u * u);
    double power = rho;  // rho^{2k+1}
    double partial = 1.0;  // S_{2k+1} = 1 + rho + ... + rho^{2k}
    double coefficient = 1.0;  // (-1)^k (2k-1)!! a^k
    double sum = 1.0;
    for (int k = 0; k < 60; ++k) {
        partial += power + power * rho;
        power *= rho * rho;
        coefficient *= -(2.0 * k + 1.0) * a;
        const double term = coefficient * partial;
        sum += term;
        if (std::fabs(term) <= tolerance * sum) {
            break;
        }
    }
    return (s / (u * v)) * sum;
}

// 1 / (2k+1)! for k = 0 ... 11, each rounded to double.
constexpr double kInverseOddFactorial[12] = {
    1.0, 0.16666666666666666, 0.008333333333333333, 0.0001984126984126984,
    2.7557319223985893e-06, 2.505210838544172e-08, 1.6059043836821613e-10,
    7.647163731819816e-13, 2.8114572543455206e-15, 8.22063524662433e-18,
    1.9572941063391263e-20, 3.868170170630684e-23};

// R(H - s/2) - R(H + s/2) = 2 sum_k J_{2k+1}(H) (s/2)^{2k+1} / (2k+1)!, with
//   J_n(H) = (-1)^n R^{(n)}(H) = int_0^inf y^n e^{-H y - y^2/2} dy > 0,
//   J_0 = R(H), J_1 = 1 - H J_0, J_{n+1} = n J_{n-1} - H J_n.
// The forward recurrence loses about (H s/2)^{2k} / (2k+1)! relative in
// term k, which H s/2 < 1 keeps below the first term's own rounding.  The
// cancellation in J_1 = 1 - H R(H) itself is the conditioning of the
// problem: the vega is small relative to the price in the same proportion.
[[nodiscard]] double mills_difference_taylor(double big_h, double half_s,
                                            double tolerance) noexcept {
    const double w = half_s * half_s;
    double j_previous = mills_ratio(big_h);  // J_0
    double j = 1.0 - big_h * j_previous;     // J_1
    double power = half_s;                   // (s/2)^{2k+1}
    double sum = j * power;
    for (int k = 1; k < 12; ++k) {
        // Two steps of the recurrence, J_{2k} and J_{2k+1} both from
        // (J_{2k-2}, J_{2k-1}) so that they do not wait for each other:
        // J_{n+2} = (n + 1 + H^2) J_n - n H J_{n-1}.
        const double n = 2.0 * k - 1.0;
        const double j_even = n * j_previous - big_h * j;
        const double j_odd = (n + 1.0 + big_h * big_h) * j - (n * big_h) * j_previous;
        j_previous = j_even;
        j = j_odd;
        power *= w;
        const double term = j * power * kInverseOddFactorial[k];
        sum += term;
        if (term <= tolerance * sum) {
            break;
        }
    }
    return 2.0 * sum;
}

struct Black {
    double b;            // b(x, s)
    double vega;         // db/ds = phi~
    double vega_over_b;  // (db/ds) / b = 1 / (R(u) - R(v))
    double log_vega;     // ln phi~, finite where phi~ underflows
};

// b(x, s) with its vega and logarithmic derivative, for x <= 0, s > 0;
// b_max = e^{x/2}.
[[nodiscard]] Black evaluate(double x, double s, double b_max, double tolerance) noexcept {
    const double half_s = 0.5 * s;
    const double big_h = -x / s;
    const double u = big_h - half_s;
    const double v = big_h + half_s;
    const double exponent = -0.5 * (big_h * big_h + half_s * half_s);
    const double vega = std::exp(exponent) * kInvSqrt2Pi;
    const double log_vega = exponent - kLogSqrt2Pi;
    double mills;  // b / phi~
    if (u >= kAsymptoticU) {
        mills = mills_difference_asymptotic(u, v, s, tolerance);
    } else if (half_s < kTaylorHalfS && big_h * half_s < kTaylorProduct) {
        mills = mills_difference_taylor(big_h, half_s, tolerance);
    } else if (u >= 0.0) {
        mills = mills_ratio(u) - mills_ratio(v);
    } else {
        // Phi(-u) >= 1/2 here: the first term dominates, and e^{-x/2} Phi(-v)
        // = phi~ R(v) keeps the second from overflowing.
        const double b = b_max * normal_cdf_of(-u) - vega * mills_ratio(v);
        return {b, vega, vega / b, log_vega};
    }
    return {vega * mills, vega, 1.0 / mills, log_vega};
}

// ln b, also where b underflows: ln phi~ + ln(R(u) - R(v)).
[[nodiscard]] inline double log_of(const Black& e) noexcept {
    return e.log_vega - std::log(e.vega_over_b);
}

// b_max - b(x, s) = e^{x/2} Phi(u) + phi~ R(v) with phi~ = db/ds: two
// positive terms, so the distance to the upper bound keeps its relative
// accuracy as s grows.
struct Gap {
    double gap;
    double vega;
};

[[nodiscard]] Gap distance_to_upper_bound(double x, double s, double b_max) noexcept {
    const double half_s = 0.5 * s;
    const double big_h = -x / s;
    const double u = big_h - half_s;
    const double v = big_h + half_s;
    const double vega = normalised_vega(big_h, half_s);
    return {b_max * normal_cdf_of(u) + vega * mills_ratio(v), vega};
}

// The rational cubic of Delbourgo and Gregory (1985) through (x_l, y_l) and
// (x_r, y_r) with slopes d_l, d_r; r = 3 is the cubic Hermite interpolant,
// larger r pulls it towards the chord.
[[nodiscard]] double rational_cubic(double x, double x_l, double x_r, double y_l, double y_r,
                                    double d_l, double d_r, double r) noexcept {
    const double h = x_r - x_l;
    if (!(h > 0.0)) {
        return 0.5 * (y_l + y_r);
    }
    const double tau = (x - x_l) / h;
    const double omega = 1.0 - tau;
    const double numerator = y_r * tau * tau * tau + (r * y_r - h * d_r) * tau * tau * omega +
                             (r * y_l + h * d_l) * tau * omega * omega +
                             y_l * omega * omega * omega;
    return numerator / (1.0 + (r - 3.0) * tau * omega);
}

// The control parameter that gives the interpolant the second derivative
// y2 at its left (or right) end (Jaeckel 2015, section 5), raised where
// needed to the least value that keeps the interpolant monotone and of one
// convexity (Delbourgo and Gregory's conditions).
[[nodiscard]] double control_parameter(double h, double d_l, double d_r, double delta,
                                       double y2, bool at_left) noexcept {
    double r = at_left ? (0.5 * h * y2 + (d_r - d_l)) / (delta - d_l)
                       : (0.5 * h * y2 + (d_r - d_l)) / (d_r - delta);
    // Convexity: no inflection inside when r >= both end-point bounds.
    const double r_left = (d_r - d_l) / (delta - d_l);
    const double r_right = (d_r - d_l) / (d_r - delta);
    if (r_left > 0.0 && r_right > 0.0) {
        r = std::fmax(r, std::fmax(r_left, r_right));
    }
    // Monotonicity.
    if (delta != 0.0) {
        r = std::fmax(r, (d_l + d_r) / delta);
    }
    if (!std::isfinite(r) || r < 0.0) {
        return 3.0;
    }
    return r;
}

// The lower transformation f_l(s) = (2 pi |x| / (3 sqrt 3)) Phi(-|x| / (sqrt 3 s))^3
// has b's leading behaviour as s -> 0 (Jaeckel 2015, eq. 4.9): it is close
// to b on the lowest branch and inverts in closed form.
struct LowerMap {
    double f;
    double df;   // d f_l / ds
    double d2f;  // d^2 f_l / ds^2
};

[[nodiscard]] LowerMap lower_map(double x, double s) noexcept {
    const double ax = -x;
    const double z = -ax / (kSqrt3 * s);
    const double dz = -z / s;
    const double d2z = 2.0 * z / (s * s);
    const double p = normal_cdf_of(z);
    const double d = std::exp(-0.5 * z * z) * kInvSqrt2Pi;
    const double c = kTwoPiOver3Sqrt3 * ax;
    const double f = c * p * p * p;
    const double df = 3.0 * c * p * p * d * dz;
    const double d2f = 3.0 * c * p * (2.0 * d * d * dz * dz - z * p * d * dz * dz + p * d * d2z);
    return {f, df, d2f};
}

[[nodiscard]] double inverse_lower_map(double x, double f) noexcept {
    const double ax = -x;
    const double y = std::cbrt(f / (kTwoPiOver3Sqrt3 * ax));
    return -ax / (kSqrt3 * inverse_normal_cdf_lower(y));
}

// One step of Householder's third-order method for g(s) = 0, given the
// Newton step nu = -g/g' and the ratios h2 = g''/g', h3 = g'''/g'.
[[nodiscard]] inline double householder_step(double nu, double h2, double h3) noexcept {
    return nu * (1.0 + 0.5 * h2 * nu) / (1.0 + nu * (h2 + h3 * nu / 6.0));
}

enum class Branch : std::uint8_t { Lower, MiddleLower, MiddleUpper, Upper };

}  // namespace

double scaled_erfc(double y) noexcept {
    if (y < 0.0) {
        return 2.0 * std::exp(y * y) - scaled_erfc(-y);
    }
    if (y < 26.0) {
        // Piecewise polynomial of degree 15 in t in [-1, 1] on 1/2-wide
        // intervals below 8 and 2-wide ones above (scripts/erfcx_table.py:
        // interpolation at Chebyshev points with mpmath; at most 2.2 ulps
        // relative over [0, 26), evaluated as here), in Estrin's scheme,
        // whose short dependency chain matters in the inner loop.
        std::size_t row;
        double t;
        if (y < 8.0) {
            row = static_cast<std::size_t>(y * 2.0);
            t = (y - (0.5 * static_cast<double>(row) + 0.25)) * 4.0;
        } else {
            const auto wide = static_cast<std::size_t>((y - 8.0) * 0.5);
            row = 16 + wide;
            t = y - (9.0 + 2.0 * static_cast<double>(wide));
        }
        const double* p = kScaledErfcTable[row];
        const double t2 = t * t;
        const double t4 = t2 * t2;
        const double t8 = t4 * t4;
        const double q0 = p[0] + p[1] * t;
        const double q1 = p[2] + p[3] * t;
        const double q2 = p[4] + p[5] * t;
        const double q3 = p[6] + p[7] * t;
        const double q4 = p[8] + p[9] * t;
        const double q5 = p[10] + p[11] * t;
        const double q6 = p[12] + p[13] * t;
        const double q7 = p[14] + p[15] * t;
        const double r0 = q0 + q1 * t2;
        const double r1 = q2 + q3 * t2;
        const double r2 = q4 + q5 * t2;
        const double r3 = q6 + q7 * t2;
        return (r0 + r1 * t4) + (r2 + r3 * t4) * t8;
    }
    // Beyond 26 the asymptotic series of A&S 7.1.23 has converged to double
    // precision after seven terms.
    const double w = 0.5 / (y * y);
    const double series =
        1.0 -
        w * (1.0 - 3.0 * w * (1.0 - 5.0 * w * (1.0 - 7.0 * w * (1.0 - 9.0 * w * (1.0 - 11.0 * w * (1.0 - 13.0 * w))))));
    return series / (y * kSqrtPi);
}

double mills_ratio(double z) noexcept {
    return kSqrtHalfPi * scaled_erfc(z * kInvSqrt2);
}

double normalised_black(double x, double s) noexcept {
    if (!(s > 0.0)) {
        return 0.0;
    }
    return evaluate(x, s, std::exp(0.5 * x), kFullPrecision).b;
}

double inverse_normal_cdf_lower(double p) noexcept {
    // Abramowitz & Stegun 26.2.23 (|error| < 4.5e-4), then one Halley step
    // on Phi(z) = p, whose residual is formed relative to phi(z):
    //   (Phi(z) - p) / phi(z) = R(-z) - p sqrt(2 pi) e^{z^2/2}.
    const double w = std::sqrt(-2.0 * std::log(p));
    const double z0 = -(w - (2.515517 + w * (0.802853 + w * 0.010328)) /
                                (1.0 + w * (1.432788 + w * (0.189269 + w * 0.001308))));
    if (!(z0 < 0.0)) {
        return z0 > -1e-3 ? std::fmin(z0, 0.0) : z0;
    }
    const double e = mills_ratio(-z0) - p * std::exp(0.5 * z0 * z0) / kInvSqrt2Pi;
    return z0 - e / (1.0 + 0.5 * z0 * e);
}

double normalised_total_volatility(double beta, double x) noexcept {
    const double b_max = std::exp(0.5 * x);
    // The point of inflection s_c = sqrt(2|x|) splits b into a convex lower
    // and a concave upper part; the tangent there meets 0 at s_l and b_max at
    // s_u (Jaeckel 2015, eqs. 4.1-4.4).  At x = 0, s_c = 0 and only the upper
    // part exists.
    const double s_c = std::sqrt(-2.0 * x);
    // At s_c, u = 0 and H = s/2 = sqrt(|x|/2): phi~ = e^{x/2} / sqrt(2 pi)
    // and R(u) = R(0) = sqrt(pi/2) in closed form.
    const double vega_c = b_max * kInvSqrt2Pi;
    double b_c = 0.0;
    if (s_c > 0.0) {
        const double half_c = 0.5 * s_c;
        const double mills_c = half_c < kTaylorHalfS
                                   ? mills_difference_taylor(half_c, half_c, kGuessPrecision)
                                   : kSqrtHalfPi - mills_ratio(s_c);
        b_c = vega_c * mills_c;
    }

    Branch branch;
    double s;
    if (beta <= b_c) {
        const double s_l = s_c - b_c / vega_c;
        const Black at_l = s_l > 0.0 ? evaluate(x, s_l, b_max, kGuessPrecision)
                                      : Black{0.0, 0.0, kInfinity, -kInfinity};
        if (beta < at_l.b) {
            // Lowest branch: interpolate f_l in beta on [0, b_l], f_l ~ b as
            // beta -> 0, matching f_l''(beta) at b_l, then invert f_l.
            branch = Branch::Lower;
            const LowerMap m = lower_map(x, s_l);
            const double d_r = m.df / at_l.vega;
            const double b2_over_b1 = (x * x) / (s_l * s_l * s_l) - 0.25 * s_l;
            const double f2 = (m.d2f - m.df * b2_over_b1) / (at_l.vega * at_l.vega);
            const double delta = m.f / at_l.b;
            const double r = control_parameter(at_l.b, 1.0, d_r, delta, f2, false);
            const double f = rational_cubic(beta, 0.0, at_l.b, 0.0, m.f, 1.0, d_r, r);
            s = f > 0.0 ? inverse_lower_map(x, f) : 0.0;
            if (!(s > 0.0) || !(s < s_l)) {
                s = s_l * 0.5;
            }
        } else {
            // s(beta) is concave here; its second derivative vanishes at s_c.
            branch = Branch::MiddleLower;
            const double d_l = 1.0 / at_l.vega;
            const double d_r = 1.0 / vega_c;
            const double h = b_c - at_l.b;
            const double delta = (s_c - s_l) / h;
            const double r = control_parameter(h, d_l, d_r, delta, 0.0, false);
            s = at_l.vega > 0.0 ? rational_cubic(beta, at_l.b, b_c, s_l, s_c, d_l, d_r, r)
                                : s_l + (beta - at_l.b) * delta;
        }
    } else {
        const double s_u = s_c + (b_max - b_c) / vega_c;
        const Black at_u = evaluate(x, s_u, b_max, kGuessPrecision);
        if (beta <= at_u.b) {
            // s(beta) is convex here; its second derivative vanishes at s_c.
            branch = Branch::MiddleUpper;
            const double d_l = 1.0 / vega_c;
            const double d_r = 1.0 / at_u.vega;
            const double h = at_u.b - b_c;
            const double delta = (s_u - s_c) / h;
            const double r = control_parameter(h, d_l, d_r, delta, 0.0, true);
            s = rational_cubic(beta, b_c, at_u.b, s_c, s_u, d_l, d_r, r);
        } else {
            // Highest branch: f_u = Phi(-s/2) ~ (b_max - b) / 2 as s grows
            // (Jaeckel 2015, eq. 4.12); interpolate it in beta on [b_u, b_max],
            // matching its second derivative at b_u, then invert.
            branch = Branch::Upper;
            const double half_u = 0.5 * s_u;
            const double phi_u = std::exp(-0.5 * half_u * half_u) * kInvSqrt2Pi;
            const double f_u = normal_cdf_of(-half_u);
            const double df = -0.5 * phi_u;
            const double d2f = 0.125 * s_u * phi_u;
            const double b2_over_b1 = (x * x) / (s_u * s_u * s_u) - 0.25 * s_u;
            const double d_l = df / at_u.vega;
            const double f2 = (d2f - df * b2_over_b1) / (at_u.vega * at_u.vega);
            const double h = b_max - at_u.b;
            const double delta = -f_u / h;
            const double r = control_parameter(h, d_l, -0.5, delta, f2, true);
            const double f = rational_cubic(beta, at_u.b, b_max, f_u, 0.0, d_l, -0.5, r);
            s = f > 0.0 && f < 0.5 ? -2.0 * inverse_normal_cdf_lower(f) : kNaN;
            if (!(s > s_u)) {
                s = s_u;
            }
        }
    }

    if (!(s > 0.0 && s < kInfinity)) {
        s = s_c > 0.0 ? s_c : 1.0;  // a guess broken by extreme inputs
    }

    // Householder steps on the objective of the branch (Jaeckel 2015,
    // section 6): on the lowest 1/ln b - 1/ln beta, which is close to linear
    // in s where b falls faster than any power; on the highest
    // ln((b_max - beta) / (b_max - b)); in the middle b - beta itself.
    const double log_beta = branch == Branch::Lower ? std::log(beta) : 0.0;
    const double log_gap_beta = branch == Branch::Upper ? std::log(b_max - beta) : 0.0;
    // On the lowest branch the logarithmic objective carries the first step
    // into the neighbourhood of the root, but its own rounding (eps |ln b|
    // relative to b) exceeds what the price allows where b is not tiny: the
    // later steps are taken on b - beta.
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        const double b2 = (x * x) / (s * s * s) - 0.25 * s;                  // b''/b'
        const double b3 = b2 * b2 - 3.0 * (x * x) / (s * s * s * s) - 0.25;  // b'''/b'
        double nu;
        double h2;
        double h3;
        if (branch == Branch::Upper) {
            const Gap e = distance_to_upper_bound(x, s, b_max);
            const double w = e.vega / e.gap;
            nu = (std::log(e.gap) - log_gap_beta) / w;
            h2 = b2 + w;
            h3 = h2 * h2 + (b3 - b2 * b2) + w * b2 + w * w;
        } else if (branch == Branch::Lower && iteration == 0) {
            const Black e = evaluate(x, s, b_max, kGuessPrecision);
            const double l = log_of(e);
            const double p = e.vega_over_b;
            nu = l * (log_beta - l) / (log_beta * p);
            const double m = 1.0 + 2.0 / l;
            h2 = b2 - p * m;
            h3 = h2 * h2 + (b3 - b2 * b2) - p * (b2 - p) * m + 2.0 * p * p / (l * l);
        } else {
            // (beta - b) / b' formed as (beta / b - 1) / (b' / b): b' may be
            // far below the smallest normal double where b is not.
            const Black e = evaluate(x, s, b_max, iteration == 0 ? kGuessPrecision : kFullPrecision);
            nu = (beta / e.b - 1.0) / e.vega_over_b;
            h2 = b2;
            h3 = b3;
        }
        double step = householder_step(nu, h2, h3);
        if (!std::isfinite(step)) {
            step = nu;
        }
        double next = s + step;
        // The transformed objectives are close to linear; a step that leaves
        // (s/4, 4s) is a breakdown of the model, not a step to take.
        if (!(next > 0.25 * s)) {
            next = 0.25 * s;
        } else if (!(next < 4.0 * s)) {
            next = 4.0 * s;
        }
        const double change = next - s;
        s = next;
        // Fourth-order convergence: after a relative step below 1e-5 the
        // error is far below an ulp.  Two steps suffice from nearly every
        // initial guess; the lowest and highest branches, whose maps
        // approach b only slowly, sometimes take a third.
        if (iteration >= 1 && std::fabs(change) <= kConvergedStep * s) {
            break;
        }
    }
    return s;
}

}  // namespace detail

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Relative tolerance of the price against the zero-volatility value: the
// rounding of the discounted spot and strike in the intrinsic value.
constexpr double kLowerBoundTolerance = 8.0 * kEpsilon;

// ln(s / k) to within about an ulp of the result, also where s / k is close
// to 1: the quotient's rounding error is recovered exactly (Dekker) and
// added as log(1 + e) ~ e.
[[nodiscard]] double log_moneyness(double s, double k) noexcept {
    const double quotient = s / k;
    if (!(quotient > 1e-290 && quotient < 1e290) || !(k > 1e-290 && k < 1e290)) {
        return std::log(s) - std::log(k);
    }
    // s - quotient k, exactly: s - hi is exact (Sterbenz), lo is the exact
    // rounding error of the product.
    const detail::TwoDouble product = detail::exact_product(quotient, k);
    const double remainder = (s - product.hi) - product.lo;
    return std::log(quotient) + remainder / s;
}

}  // namespace

std::expected<double, Error> european(double price, double s, double k, double t, double r,
                                      double q, OptionType type) noexcept {
    const double theta = type == OptionType::Put ? -1.0 : 1.0;
    if (!(price >= 0.0)) {
        return std::unexpected(Error::BelowLowerBound);
    }
    if (t == 0.0) {
        const double intrinsic = std::fmax(theta * (s - k), 0.0);
        const double tolerance = kLowerBoundTolerance * std::fmax(intrinsic, price);
        if (price < intrinsic - tolerance) {
            return std::unexpected(Error::BelowLowerBound);
        }
        if (price > intrinsic + tolerance) {
            return std::unexpected(Error::AboveUpperBound);
        }
        return std::unexpected(Error::NoVolatilityInformation);
    }
    // The discounted spot A = s e^{-qt} = D F and strike B = k e^{-rt} = D K:
    // the upper bounds, the forward intrinsic value A - B, and the
    // normaliser D sqrt(F K) = sqrt(A B).
    const double spot = q == 0.0 ? s : s * std::exp(-q * t);
    const double strike = r == 0.0 ? k : k * std::exp(-r * t);
    const double upper = type == OptionType::Put ? strike : spot;
    if (price >= upper) {
        return std::unexpected(Error::AboveUpperBound);
    }
    const double product = spot * strike;
    const double normaliser = (product > 1e-300 && product < 1e300)
                                  ? std::sqrt(product)
                                  : std::sqrt(spot) * std::sqrt(strike);
    // x from ln(s/k) and (r - q) t rather than from ln(A/B): the two
    // exponentials would add their rounding to x, which far in the wings
    // of a small total volatility moves sigma by many ulps.
    double x = theta * (log_moneyness(s, k) + (r - q) * t);
    double beta;
    if (x > 0.0) {
        // In the money: the time value price - (A - B) is the price of the
        // out-of-the-money option on the other side of the forward
        // (put-call parity), a call at x being a put at -x.  Two ways to
        // form it, each the more accurate where it is used:
        //  - in price units, price - (A - B): without rates A and B are s and
        //    k themselves and A - B is exact (Sterbenz) near the money and
        //    within half an ulp of the price deep in it; with rates, deep in
        //    the money (x > 1), where the price is close to A - B anyway;
        //  - normalised, beta - 2 sinh(x/2): elsewhere, where the rounding of
        //    the exponentials in A and B (an ulp of s) would be many ulps of
        //    a price well below s, and x carries only the rounding of
        //    ln(s/k) and (r - q) t.
        double time_value;
        if ((r == 0.0 && q == 0.0) || x > 1.0) {
            const double intrinsic = type == OptionType::Call ? spot - strike : strike - spot;
            time_value = (price - intrinsic) / normaliser;
        } else {
            const double beta_itm = price / normaliser;
            time_value = beta_itm - 2.0 * std::sinh(0.5 * x);
        }
        if (time_value < -kLowerBoundTolerance * (price / normaliser)) {
            return std::unexpected(Error::BelowLowerBound);
        }
        beta = time_value;
        x = -x;
    } else {
        beta = price / normaliser;
    }
    if (!(beta > 0.0)) {
        return 0.0;
    }
    if (!(beta < std::exp(0.5 * x))) {
        return std::unexpected(Error::AboveUpperBound);
    }
    const double total = detail::normalised_total_volatility(beta, x);
    const double sigma = total / std::sqrt(t);
    if (!std::isfinite(sigma)) {
        return std::unexpected(Error::NotConverged);
    }
    return sigma;
}

}  // namespace greekmill::implied_volatility

// ---------------------------------------------------------------------------
// American implied volatility.

namespace greekmill::implied_volatility {
namespace {

// The iteration stops once a step changes sigma by less than this fraction
// (plus kAmericanConvergedFloor): the order of convergence is above one, so
// the error after that step is far below the 1e-8 promised.
constexpr double kAmericanConvergedStep = 1e-9;
constexpr double kAmericanConvergedFloor = 1e-12;
constexpr int kAmericanMaxEvaluations = 40;
// Beyond this total volatility sigma sqrt(t) the value is indistinguishable
// from its upper bound; a price that still lies above the value there is not
// solved.
constexpr double kAmericanMaxTotalVolatility = 50.0;

struct EuropeanValue {
    double price;
    double vega;  // d price / d sigma
};

// The Black-Scholes-Merton price and vega, through the normalised Black
// function as the European solver decomposes them.
[[nodiscard]] EuropeanValue european_value(double s, double k, double t, double r, double q,
                                           double sigma, OptionType type) noexcept {
    double x = log_moneyness(s, k) + (r - q) * t;
    if (type == OptionType::Put) {
        x = -x;
    }
    const double sqrt_t = std::sqrt(t);
    const double total = sigma * sqrt_t;
    const double normaliser = std::sqrt(s) * std::sqrt(k) * std::exp(-0.5 * (r + q) * t);
    const double otm = detail::normalised_black(-std::fabs(x), total);
    const double intrinsic = x > 0.0 ? 2.0 * std::sinh(0.5 * x) : 0.0;
    const double h = x / total;
    const double vega = normaliser * std::exp(-0.5 * (h * h + 0.25 * total * total)) *
                        (sqrt_t / kSqrt2Pi);
    return {normaliser * (otm + intrinsic), vega};
}

// The volatility at which the European price plus a linear model of the
// early-exercise premium, p + m (sigma - anchor), equals the price: the
// European implied volatility of price - p when m = 0, refined by Newton
// steps on the (cheap) European price otherwise.  NaN where the European
// part leaves its bounds.
[[nodiscard]] double deamericanised_volatility(double price, double p, double m, double anchor,
                                               double s, double k, double t, double r, double q,
                                               OptionType type) noexcept {
    const std::expected<double, Error> first =
        european(price - p, s, k, t, r, q, type);
    double sigma = first && *first > 0.0 ? *first : kNaN;
    if (m == 0.0 || !std::isfinite(sigma)) {
        return sigma;
    }
    for (int i = 0; i < 4; ++i) {
        const EuropeanValue e = european_value(s, k, t, r, q, sigma, type);
        const double g = e.price + p + m * (sigma - anchor) - price;
        const double slope = e.vega + m;
        if (!(slope > 0.0)) {
            break;
        }
        sigma -= g / slope;
        if (!(sigma > 0.0)) {
            return kNaN;
        }
    }
    return sigma;
}

}  // namespace

std::expected<double, Error> american(double price, double s, double k, double t, double r,
                                      double q, OptionType type,
                                      greekmill::american::Accuracy accuracy) noexcept {
    namespace engine = greekmill::american;
    const double exercise = std::fmax(type == OptionType::Put ? k - s : s - k, 0.0);
    // The value as the volatility grows without bound: the strike (put) or
    // the spot (call), or where the holder waits to expiry instead (r < 0
    // for a put, q < 0 for a call) the larger discounted one, K e^{-rt} or
    // S e^{-qt}.
    const double upper = type == OptionType::Put ? std::fmax(k, k * std::exp(-r * t))
                                                 : std::fmax(s, s * std::exp(-q * t));
    // Rounding of a price quoted at the exercise value.
    const double tolerance = 4.0 * kEpsilon * std::fmax(upper, price);
    if (!(price >= exercise - tolerance)) {
        return std::unexpected(Error::BelowLowerBound);
    }
    if (price >= upper) {
        return std::unexpected(Error::AboveUpperBound);
    }
    if (price <= exercise + tolerance) {
        return std::unexpected(exercise == 0.0 && price > 0.0 ? Error::BelowResolution
                                                              : Error::NoVolatilityInformation);
    }
    if (t == 0.0) {
        return std::unexpected(Error::AboveUpperBound);
    }
    // The value at zero volatility (the deterministic path) is the least
    // value of any volatility; it may exceed the exercise value.
    const Result<double> floor = engine::price(s, k, t, r, 0.0, q, type, accuracy);
    if (!floor) {
        return std::unexpected(Error::NotConverged);
    }
    if (price < *floor - tolerance) {
        return std::unexpected(Error::BelowLowerBound);
    }
    if (price <= *floor + tolerance) {
        return 0.0;
    }

    // The American value is the European value plus the early-exercise
    // premium P(sigma), which varies slowly with sigma.  Each step prices
    // once with the engine, models P as linear through the last two
    // premiums (constant after the first), and solves European value +
    // model = price with the European machinery: the first step is the
    // European implied volatility of the de-Americanised price, the later
    // ones converge superlinearly (a secant method on the premium alone).
    // A bracket of the root (the value rises with sigma) catches every step
    // that leaves it, by bisection.
    const std::expected<double, Error> european_guess = european(price, s, k, t, r, q, type);
    double sigma = european_guess && *european_guess > 0.0 ? *european_guess : 0.5 / std::sqrt(t);
    double lo = 0.0;
    double hi = kInfinity;
    const double sigma_max = kAmericanMaxTotalVolatility / std::sqrt(t);
    double previous_sigma = kNaN;
    double previous_premium = kNaN;
    for (int evaluation = 0; evaluation < kAmericanMaxEvaluations; ++evaluation) {
        const Result<double> value = engine::price(s, k, t, r, sigma, q, type, accuracy);
        if (!value) {
            return std::unexpected(Error::NotConverged);
        }
        const double residual = price - *value;
        if (residual == 0.0) {
            return sigma;
        }
        if (residual > 0.0) {
            lo = sigma;
        } else {
            hi = sigma;
        }
        const EuropeanValue e = european_value(s, k, t, r, q, sigma, type);
        const double premium = *value - e.price;
        double slope = 0.0;
        if (std::isfinite(previous_sigma) && previous_sigma != sigma) {
            slope = (premium - previous_premium) / (sigma - previous_sigma);
        }
        double next = deamericanised_volatility(price, premium, slope, sigma, s, k, t, r, q, type);
        if (!std::isfinite(next) && e.vega + slope > 0.0) {
            next = sigma + residual / (e.vega + slope);
        }
        if (!(next > lo && next < hi)) {
            next = std::isfinite(hi) ? 0.5 * (lo + hi) : std::fmax(2.0 * sigma, 2.0 * lo);
        }
        if (next > sigma_max) {
            if (lo >= sigma_max) {
                return std::unexpected(Error::NotConverged);
            }
            next = sigma_max;
        }
        previous_sigma = sigma;
        previous_premium = premium;
        const double change = next - sigma;
        sigma = next;
        if (std::fabs(change) <= kAmericanConvergedStep * sigma + kAmericanConvergedFloor) {
            return sigma;
        }
    }
    return std::unexpected(Error::NotConverged);
}

}  // namespace greekmill::implied_volatility

// The derivative section and the two discrete (dosing) sections of the
// pregnancy model.

#include <cmath>

#include "model/PregnancyModel.h"
#include "model/PregnancyModelStorage.h"
#include "runtime/OrvoSimRuntimeAPI.h"

namespace pregnancy {
namespace {

// Rates of all 42 states, then their derivative and initial-condition
// variables, then the reported totals and mass balances. Allocates nothing.
void DerivativeSection() {
    ra_i = rdose_i;
    qcm = std::pow(bw_m - bw_f, 0.75) * qfc_m;
    qthy_mi = qfthy_m * qcm;
    qplc_mi = qfplc * qcm;
    qrp_mi = (qfrp_m - qfthy_m - qfplc) * qcm;
    qsp_mi = qfsp_m * qcm;
    vpls_m = vfpls_m * bw_m;
    vthy_m = vfthy_m * bw_m;
    vplc = vfplc * bw_m;
    vrp_mi = (bw_m - bw_f) * vfrp_m - vthy_m - vplc - vpls_m;
    crp_mi = arp_mi / vrp_mi;
    cvrp_mi = crp_mi / prp_mi;
    vsp_m = (bw_m - bw_f) * vfsp_m;
    csp_mi = asp_mi / vsp_m;
    cvsp_mi = csp_mi / psp_mi;
    vthyb_m = vfthyb * vthy_m;
    cthyb_mi = athyb_mi / vthyb_m;
    vplcb = vfplcb * vplc;
    cvplc_mi = aplcb_mi / vplcb;
    cvtotal_mi = (qrp_mi * cvrp_mi + qsp_mi * cvsp_mi + qthy_mi * cthyb_mi
                  + qplc_mi * cvplc_mi) / qcm;
    ca_mi = aplasma_mi / vpls_m;
    kdegt4_mi = std::pow(bw_m, 0.75) * kdegt4f_mi;
    rdegt4_mi = kdegt4_mi * at4_mi;
    rdeiodt4_mi = (rdegt4_mi * 4 + rdegt4_mi) * 0.5;
    kdegt3_mi = std::pow(bw_m, 0.75) * kdegt3f_mi;
    rdegt3_mi = kdegt3_mi * at3_mi;
    rdeiodt3_mi = rdegt3_mi * 3;
    cl_uim = std::pow(bw_m, 0.75) * clf_uim;
    raelim_mi = cl_uim * ca_mi;
    raplasma_mi = (cvtotal_mi - ca_mi) * qcm + rdose_i + rdeiodt4_mi + rdeiodt3_mi - raelim_mi;
    rarp_mi = (ca_mi - cvrp_mi) * qrp_mi;
    rasp_mi = (ca_mi - cvsp_mi) * qsp_mi;
    vmaxnis_thy_mi = std::pow(bw_m, 0.75) * vmaxnisf_thy_mi;
    cthyb_mp = athyb_mp / vthyb_m;
    rnisthy_mi = vmaxnis_thy_mi * cthyb_mi / ((cthyb_mp / kmnis_p + 1) * kmnis_i + cthyb_mi);
    pathy_mi = std::pow(bw_m, 0.75) * pafthy_mi;
    vthyt_m = vfthyt * vthy_m;
    cthyt_free_mi = athyt_free_mi / vthyt_m;
    rpathy_mi = (cthyb_mi - cthyt_free_mi / pthy_mi) * pathy_mi;
    rathyb_mi = (ca_mi - cthyb_mi) * qthy_mi - rnisthy_mi - rpathy_mi;
    rbind_mi = rnisthy_mi + rpathy_mi;
    rathyt_free_mi = rnisthy_mi + rpathy_mi - rbind_mi;
    kprodt4_mi = std::pow(bw_m, 0.75) * kprodt4f_mi;
    rprodt4_mi = kprodt4_mi * abound_mi;
    riodut4_mi = rprodt4_mi * 4;
    kprodt3_mi = std::pow(bw_m, 0.75) * kprodt3f_mi;
    rprodt3_mi = kprodt3_mi * abound_mi;
    riodut3_mi = rprodt3_mi * 3;
    rabound_mi = rbind_mi - riodut4_mi - riodut3_mi;
    cft4plcb_mi = aft4plcb_mi / vplcb;
    cvt4plcb_mi = cft4plcb_mi / frconvt4_mi;
    vdt4_mi = (bw_m - bw_f - vplc) * vdft4_mi;
    ct4_mi = at4_mi / vdt4_mi;
    clt4_mi = std::pow(bw_m, 0.75) * clft4_mi;
    relimt4_mi = clt4_mi * ct4_mi;
    rt4_mi = rprodt4_mi - rdegt4_mi + (cvt4plcb_mi - ct4_mi) * qplc_mi - relimt4_mi;
    clt3_mi = std::pow(bw_m, 0.75) * clft3_mi;
    vdt3_mi = (bw_m - bw_f) * vdft3_mi;
    ct3_mi = at3_mi / vdt3_mi;
    relimt3_mi = clt3_mi * ct3_mi;
    rt3_mi = rdegt4_mi * 0.5 + rprodt3_mi - rdegt3_mi - relimt3_mi;
    paft4plc_mi = std::pow(bw_m, 0.75) * paft4plcf_mi;
    vplct = vfplct * vplc;
    cvft4plct_mi = aft4plct_mi / vplct;
    rpaft4plcbtot_mi = (cft4plcb_mi - cvft4plct_mi / pft4plc_mi) * paft4plc_mi;
    rft4plcb_mi = qplc_mi * frconvt4_mi * (ct4_mi - cvt4plcb_mi) - rpaft4plcbtot_mi;
    qcf = std::pow(bw_f, 0.75) * qfc_f;
    qcord = qcf * 0.21;
    vdt4_fi = vdft4_f * bw_f;
    cft4_fi = aft4_fi / vdt4_fi;
    rft4plct_mi = (cft4_fi - cvft4plct_mi) * qcord + rpaft4plcbtot_mi;
    vmaxnis_plc_mi = std::pow(bw_m, 0.75) * vmaxnisf_plc_mi;
    cplcb_mi = aplcb_mi / vplcb;
    cplcb_mp = aplcb_mp / vplcb;
    rnisplc_mi = vmaxnis_plc_mi * cplcb_mi / ((cplcb_mp / kmnis_p + 1) * kmnis_i + cplcb_mi);
    paplcbtot_mi = std::pow(bw_m, 0.75) * pafplcbtot_mi;
    cplct_mi = aplct_mi / vplct;
    rpaplcbtot_mi = (cplcb_mi - cplct_mi / pplc_mi) * paplcbtot_mi;
    raplcb_mi = (ca_mi - cvplc_mi) * qplc_mi - rnisplc_mi - rpaplcbtot_mi;
    qthy_f = qfthy_f * qcf;
    qrob_f = qcf - qthy_f;
    vthy_f = vfthy_f * bw_f;
    vthyb_f = vfthyb * vthy_f;
    cthyb_fi = athyb_fi / vthyb_f;
    vpls_f = vfpls_f * bw_f;
    vrob_f = vfrob_f * bw_f - vpls_f - vthy_f;
    crob_fi = arob_fi / vrob_f;
    cvrob_fi = crob_fi / prob_fi;
    cvtotal_fi = (qthy_f * cthyb_fi + qrob_f * cvrob_fi) / qcf;
    cvplct_mi = cplct_mi / pplcpf_mi;
    raplct_mi = (cvtotal_fi - cvplct_mi) * qcord + rnisplc_mi + rpaplcbtot_mi;
    qcvf = qcf - qcord;
    capls_fi = aplasma_fi / vpls_f;
    kdegt4_fi = std::pow(bw_f, 0.75) * kdegt4f_fi;
    at4_fi = aft4_fi / frconvt4_fi;
    rdegt4_fi = kdegt4_fi * at4_fi;
    rdeiodt4_fi = (rdegt4_fi * 4 + rdegt4_fi) * 0.5;
    kdegt3_fi = std::pow(bw_f, 0.75) * kdegt3f_fi;
    rdegt3_fi = kdegt3_fi * at3_fi;
    rdeiodt3_fi = rdegt3_fi * 3;
    raplasma_fi = (cvtotal_fi - capls_fi) * qcvf + rdeiodt4_fi + rdeiodt3_fi;
    ca_fi = (qcvf * capls_fi + qcord * cvplct_mi) / qcf;
    vmaxnis_thy_fi = std::pow(bw_f, 0.75) * vmaxnisf_thy_fi;
    cthyb_fp = athyb_fp / vthyb_f;
    rnisthy_fi = vmaxnis_thy_fi * cthyb_fi / ((cthyb_fp / kmnis_p + 1) * kmnis_i + cthyb_fi);
    pathy_fi = std::pow(bw_f, 0.75) * pafthy_fi;
    vthyt_f = vfthyt * vthy_f;
    cthyt_free_fi = athyt_free_fi / vthyt_f;
    rpathy_fi = (cthyb_fi - cthyt_free_fi / pthy_fi) * pathy_fi;
    rathyb_fi = (ca_fi - cthyb_fi) * qthy_f - rnisthy_fi - rpathy_fi;
    rbind_fi = rnisthy_fi + rpathy_fi;
    rathyt_free_fi = rnisthy_fi + rpathy_fi - rbind_fi;
    kprodt4_fi = std::pow(bw_f, 0.75) * kprodt4f_fi;
    rprodt4_fi = kprodt4_fi * abound_fi;
    riodut4_fi = rprodt4_fi * 4;
    kprodt3_fi = std::pow(bw_f, 0.75) * kprodt3f_fi;
    rprodt3_fi = kprodt3_fi * abound_fi;
    riodut3_fi = rprodt3_fi * 3;
    rabound_fi = rbind_fi - riodut4_fi - riodut3_fi;
    rt3_fi = rdegt4_fi * 0.5 + rprodt3_fi - rdegt3_fi;
    rft4_fi = (cvft4plct_mi - cft4_fi) * qcord + (rprodt4_fi - rdegt4_fi) * frconvt4_mi;
    rarob_fi = (ca_fi - cvrob_fi) * qrob_f;
    raioral_p = pdose_p * bw_m * pdose;
    qthy_mp = qfthy_m * qcm;
    qplc_mp = qfplc * qcm;
    qrp_mp = (qfrp_m - qfthy_m - qfplc) * qcm;
    qsk_mp = qfsk_mp * qcm;
    qsp_mp = (qfsp_m - qfsk_mp) * qcm;
    vrbc_mp = (bw_m - bw_f) * vrbcc_mp;
    vrp_mp = (bw_m - bw_f) * vfrp_m - vthy_m - vplc - vpls_m - vrbc_mp;
    crp_mp = arp_mp / vrp_mp;
    cvrp_mp = crp_mp / prp_mp;
    vwholesk_mp = (bw_m - bw_f) * vfsk_mp;
    vsp_mp = (bw_m - bw_f) * vfsp_m - vwholesk_mp;
    csp_mp = asp_mp / vsp_mp;
    cvsp_mp = csp_mp / psp_mp;
    vskb_mp = vfskb_mp * vwholesk_mp;
    cskb_mp = askb_mp / vskb_mp;
    cvtotal_mp = (qrp_mp * cvrp_mp + qsp_mp * cvsp_mp + qthy_mp * cthyb_mp + qplc_mp * cplcb_mp
                  + qsk_mp * cskb_mp) / qcm;
    ca_mp = aplasma_mp / vpls_m;
    cl_upm = std::pow(bw_m, 0.75) * clf_upm;
    raelim_mp = cl_upm * ca_mp;
    vmax_bp = std::pow(bw_m, 0.75) * vmaxc_bp;
    kunb_mp = std::pow(bw_m, 0.75) * kunbc_mp;
    cabind_mp = abind_mp / vpls_m;
    rbind_mp = vmax_bp * ca_mp / (km_bp + ca_mp) - kunb_mp * cabind_mp;
    parbc_mp = std::pow(bw_m, 0.75) * parbcc_mp;
    crbc_mp = arbc_mp / vrbc_mp;
    rrbc_mp = (ca_mp - crbc_mp / prbc_mp) * parbc_mp;
    raplasma_mp = (cvtotal_mp - ca_mp) * qcm + raioral_p - raelim_mp - rbind_mp - rrbc_mp;
    rarp_mp = (ca_mp - cvrp_mp) * qrp_mp;
    rasp_mp = (ca_mp - cvsp_mp) * qsp_mp;
    pask_mp = std::pow(bw_m, 0.75) * paskc_mp;
    vmaxnis_sk_mp = std::pow(bw_m, 0.75) * vmaxnisf_sk_mp;
    rupsk_mp = vmaxnis_sk_mp * cskb_mp / (kmnis_p + cskb_mp);
    vsk_mp = vwholesk_mp - vskb_mp;
    csk_mp = ask_mp / vsk_mp;
    raskb_mp = (ca_mp - cskb_mp) * qsk_mp + (csk_mp / psk_mp - cskb_mp) * pask_mp - rupsk_mp;
    rask_mp = (cskb_mp - csk_mp / psk_mp) * pask_mp + rupsk_mp;
    vmaxnis_thy_mp = std::pow(bw_m, 0.75) * vmaxnisf_thy_mp;
    rnisthy_mp = vmaxnis_thy_mp * cthyb_mp / ((cthyb_mi / kmnis_i + 1) * kmnis_p + cthyb_mp);
    pathy_mp = std::pow(bw_m, 0.75) * pafthy_mp;
    cthyt_mp = athyt_mp / vthyt_m;
    rpathy_mp = (cthyb_mp - cthyt_mp / pthy_mp) * pathy_mp;
    rathyb_mp = (ca_mp - cthyb_mp) * qthy_mp - rnisthy_mp - rpathy_mp;
    rathyt_mp = rnisthy_mp + rpathy_mp;
    vmaxnis_plc_mp = std::pow(bw_m, 0.75) * vmaxnisf_plc_mp;
    rnisplc_mp = vmaxnis_plc_mp * cplcb_mp / ((cplcb_mi / kmnis_i + 1) * kmnis_p + cplcb_mp);
    paplcbtot_mp = std::pow(bw_m, 0.75) * pafplcbtot_mp;
    cplct_mp = aplct_mp / vplct;
    rpaplcbtot_mp = (cplcb_mp - cplct_mp / pplc_mp) * paplcbtot_mp;
    raplcb_mp = (ca_mp - cplcb_mp) * qplc_mp - rnisplc_mp - rpaplcbtot_mp;
    crob_fp = arob_fp / vrob_f;
    cvrob_fp = crob_fp / prob_fp;
    cvtotal_fp = (qthy_f * cthyb_fp + qrob_f * cvrob_fp) / qcf;
    cvplct_mp = cplct_mp / pplcpf_mp;
    raplct_mp = (cvtotal_fp - cvplct_mp) * qcord + rnisplc_mp + rpaplcbtot_mp;
    capls_fp = aplasma_fp / vpls_f;
    raplasma_fp = (cvtotal_fp - capls_fp) * qcvf;
    ca_fp = (qcvf * capls_fp + qcord * cvplct_mp) / qcf;
    vmaxnis_thy_fp = std::pow(bw_f, 0.75) * vmaxnisf_thy_fp;
    rnisthy_fp = vmaxnis_thy_fp * cthyb_fp / ((cthyb_fi / kmnis_i + 1) * kmnis_p + cthyb_fp);
    pathy_fp = std::pow(bw_f, 0.75) * pafthy_fp;
    cthyt_fp = athyt_fp / vthyt_f;
    rpathy_fp = (cthyb_fp - cthyt_fp / pthy_fp) * pathy_fp;
    rathyb_fp = (ca_fp - cthyb_fp) * qthy_f - rnisthy_fp - rpathy_fp;
    rathyt_fp = rnisthy_fp + rpathy_fp;
    rarob_fp = (ca_fp - cvrob_fp) * qrob_f;

    // Derivatives of the states
    z99999 = ra_i;
    z99997 = raplasma_mi;
    z99995 = rarp_mi;
    z99993 = rasp_mi;
    z99991 = rathyb_mi;
    z99989 = rathyt_free_mi;
    z99987 = rabound_mi;
    z99985 = rt4_mi;
    z99979 = rt3_mi;
    z99983 = rft4plcb_mi;
    z99981 = rft4plct_mi;
    z99971 = relimt4_mi;
    z99969 = relimt3_mi;
    z99977 = raplcb_mi;
    z99975 = raplct_mi;
    z99973 = raelim_mi;
    z99967 = raplasma_fi;
    z99965 = rathyb_fi;
    z99963 = rathyt_free_fi;
    z99961 = rabound_fi;
    z99957 = rt3_fi;
    z99959 = rft4_fi;
    z99955 = rarob_fi;
    z99953 = raioral_p;
    z99951 = raplasma_mp;
    z99949 = rbind_mp;
    z99947 = rrbc_mp;
    z99945 = rarp_mp;
    z99943 = rasp_mp;
    z99941 = raskb_mp;
    z99939 = rask_mp;
    z99937 = rathyb_mp;
    z99935 = rathyt_mp;
    z99933 = raplcb_mp;
    z99931 = raplct_mp;
    z99929 = raelim_mp;
    z99927 = raelim_mp * lastwk;
    z99925 = raplasma_fp;
    z99923 = rathyb_fp;
    z99921 = rnisthy_fp;
    z99919 = rathyt_fp;
    z99917 = rarob_fp;

    // Initial conditions of the states
    z99998 = 0.0;
    z99996 = aplasma_mi0;
    z99994 = arp_mi0;
    z99992 = asp_mi0;
    z99990 = athyb_mi0;
    z99988 = athyt_free_mi0;
    z99986 = abound_mi0;
    z99984 = at4_mi0;
    z99978 = at3_mi0;
    z99982 = aft4plcb_mi0;
    z99980 = aft4plct_mi0;
    z99970 = 0.0;
    z99968 = 0.0;
    z99976 = aplcb_mi0;
    z99974 = aplct_mi0;
    z99972 = 0.0;
    z99966 = aplasma_fi0;
    z99964 = athyb_fi0;
    z99962 = athyt_free_fi0;
    z99960 = abound_fi0;
    z99956 = at3_fi0;
    z99958 = aft4_fi0;
    z99954 = arob_fi0;
    z99952 = 0.0;
    z99950 = 0.0;
    z99948 = 0.0;
    z99946 = 0.0;
    z99944 = 0.0;
    z99942 = 0.0;
    z99940 = 0.0;
    z99938 = 0.0;
    z99936 = 0.0;
    z99934 = 0.0;
    z99932 = 0.0;
    z99930 = 0.0;
    z99928 = 0.0;
    z99926 = 0.0;
    z99924 = 0.0;
    z99922 = 0.0;
    z99920 = 0.0;
    z99918 = 0.0;
    z99916 = 0.0;

    // Reported quantities: no rate depends on them
    vdt3_fi = vdft3_f * bw_f;
    paplc_mi = std::pow(bw_m, 0.75) * pafplc_mi;
    paplcttob_mi = std::pow(bw_m, 0.75) * pafplcttob_mi;
    paplc_mp = std::pow(bw_m, 0.75) * pafplc_mp;
    paplcttob_mp = std::pow(bw_m, 0.75) * pafplcttob_mp;
    cbound_mi = abound_mi / vthyt_m;
    att4plcb_mi = aft4plcb_mi / frconvt4_mi;
    att4plct_mi = aft4plct_mi / frconvt4_mi;
    ctt4plct_mi = att4plct_mi / vplct;
    aft4_mi = frconvt4_mi * at4_mi;
    cft4_mi = aft4_mi / vdt4_mi;
    at4iod_mi = (at4_mi + att4plcb_mi + att4plct_mi + aelimt4_mi) * 4;
    at3iod_mi = (at3_mi + aelimt3_mi) * 3;
    athyt_mi = abound_mi + athyt_free_mi;
    cthyt_mi = athyt_mi / vthyt_m;
    athy_mi = athyb_mi + athyt_mi;
    aplc_mi = aplcb_mi + aplct_mi;
    cbound_fi = abound_fi / vthyt_f;
    ct4_fi = cft4_fi / frconvt4_fi;
    at4iod_fi = ((1 / frconvt4_mi - 1 / frconvt4_fi) * aft4_fi + at4_fi) * 4;
    ct3_fi = at3_fi / vdt3_fi;
    at3iod_fi = at3_fi * 3;
    athyt_fi = abound_fi + athyt_free_fi;
    cthyt_fi = athyt_fi / vthyt_f;
    athy_fi = athyb_fi + athyt_fi;
    cthy_fi = athy_fi / vthy_f;
    athy_mp = athyb_mp + athyt_mp;
    cthy_mp = athy_mp / vthy_m;
    aplc_mp = aplcb_mp + aplct_mp;
    athy_fp = athyb_fp + athyt_fp;
    cthy_fp = athy_fp / vthy_f;
    qtotmi = qthy_mi + qplc_mi + qrp_mi + qsp_mi;
    massb_flow_mi = qcm - qtotmi;
    qtotf = qthy_f + qrob_f;
    massb_flow_f = qcf - qtotf;
    qtotmp = qthy_mp + qplc_mp + qrp_mp + qsp_mp + qsk_mp;
    massb_flow_mp = qcm - qtotmp;
    vtot_mi = vpls_m + vthy_m + vplc + vrp_mi + vsp_m;
    massb_volume_mi = vtot_mi * 100 / (bw_m - bw_f);
    vtot_f = vpls_f + vthy_f + vrob_f;
    massb_volume_fi = vtot_f * 100 / bw_f;
    vtot_mp = vpls_m + vthy_m + vplc + vrp_mp + vsp_mp + vsk_mp + vrbc_mp;
    massb_volume_mp = vtot_mp * 100 / (bw_m - bw_f);
    totalmass_i = aplasma_mi + arp_mi + asp_mi + athy_mi + aplc_mi + aelim_mi + aplasma_fi + athy_fi
                  + arob_fi + at4iod_mi + at3iod_mi + at4iod_fi + at3iod_fi;
    massb_amount_i = aioral_i + iodstores_mi + iodstores_fi - totalmass_i;
    totalmass_p = aplasma_mp + arp_mp + asp_mp + athy_mp + aplc_mp + aelim_mp + aplasma_fp + athy_fp
                  + arob_fp;
    massb_amount_p = aioral_p - totalmass_p;
}

}  // namespace
}  // namespace pregnancy

extern "C" void zzderivative(uint32_t instance, uint32_t section) {
    using namespace pregnancy;
    switch (section) {
        case kDerivativeSection:
            DerivativeSection();
            break;
        case kDoseStartSection:
            pdose = 1;
            OrvoSimDiscreteEventOccurred(instance, kDoseStartSection);
            break;
        case kLastWeekSection:
            lastwk = 1;
            OrvoSimDiscreteEventOccurred(instance, kLastWeekSection);
            break;
        default:
            break;  // destroy (1), communication point (2) and unknown codes
    }
}

// Seeded random options off the validation set's region (spot 30-300, strike
// 0.7-1.3 of it, up to 10 years, r -5 to 15 %, dividends of 30-40 % of the
// spot in 1-3 payments, or FAMILY 1: quarterly dividends of 0.8), valued by
// the grid at the accurate (256) and high (768) resolutions and at 3072
// intervals, the reference; European values (EURO=1) also by Monte Carlo
// (PATHS antithetic pairs, exact lognormal steps between ex-dates, the spot
// absorbed at 0).  CASE=n prints option n's convergence in space and time.
// Prints per option and the worst accurate-high gap; QUICK=1 skips the
// reference solves.
//   off_region COUNT SEED PATHS FAMILY SIGMA_LOW SIGMA_WIDTH
// Built like validation.cpp (bench/dividends/validate.sh) against
// libgreekmill_core.a.
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>
#include <algorithm>
#include "grid/log_spot.hpp"
using namespace greekmill;
double mc(double s,double k,double t,double r,double q,double sig,bool call,const std::vector<grid::Jump>& J,int paths,unsigned seed){
  std::mt19937_64 g(seed); std::normal_distribution<double> Z(0,1);
  // ex-dates in calendar order: tau descending -> times t - tau ascending
  std::vector<double> times; std::vector<double> amts;
  for(int i=(int)J.size()-1;i>=0;i--){times.push_back(t-J[i].tau); amts.push_back(J[i].amount);}
  times.push_back(t); amts.push_back(0);
  double sum=0,sum2=0;
  for(int p=0;p<paths;p++){
    double S=s,prev=0; double S2=s;
    for(size_t i=0;i<times.size();i++){double h=times[i]-prev; double z=Z(g);
      S*=std::exp((r-q-0.5*sig*sig)*h+sig*std::sqrt(h)*z); S=std::max(S-amts[i],0.0);
      S2*=std::exp((r-q-0.5*sig*sig)*h-sig*std::sqrt(h)*z); S2=std::max(S2-amts[i],0.0); prev=times[i];}
    double pay=0.5*(std::max(call?S-k:k-S,0.0)+std::max(call?S2-k:k-S2,0.0));
    sum+=pay; sum2+=pay*pay;}
  double m=sum/paths, var=sum2/paths-m*m;
  fprintf(stderr,"mc se %.2e\n",std::exp(-r*t)*std::sqrt(var/paths));
  return std::exp(-r*t)*m;
}
int main(int argc,char**argv){
  int n=argc>1?atoi(argv[1]):60; int seed=argc>2?atoi(argv[2]):1; int N=argc>3?atoi(argv[3]):4000;
  int fam=argc>4?atoi(argv[4]):0;
  std::mt19937_64 g(seed); std::uniform_real_distribution<double> U(0,1);
  double worst=0;
  for(int c=0;c<n;c++){
    double s=30+270*U(g), k=s*(0.7+0.6*U(g)), t=0.25+9.75*U(g), r=-0.05+0.2*U(g), q=0.0, sig=(argc>5?atof(argv[5]):0.02)+(argc>6?atof(argv[6]):0.78)*U(g);
    bool call=U(g)<0.5;
    std::vector<grid::Jump> J; int nd; 
    if(fam==0){ nd=1+(int)(3*U(g)); double tot=s*(0.3+0.1*U(g)); for(int i=0;i<nd;i++){ double td=t*(i+0.5+0.4*(U(g)-0.5))/nd; J.push_back({t-td,tot/nd}); } }
    else { nd=std::min(40,(int)(t*4)); for(int i=0;i<nd;i++){ double td=(i+0.5)/4.0; if(td<t) J.push_back({t-td,0.8}); } }
    std::sort(J.begin(),J.end(),[](auto&a,auto&b){return a.tau<b.tau;});
    double tot=sig*std::sqrt(t), drift=(std::fabs(r-q)+0.5*sig*sig)*t;
    if(tot<5e-3||tot>1.5||drift>3*tot) continue;
    bool am=!getenv("EURO");
    grid::Problem p{s,k,t,r,q,sig,call?OptionType::Call:OptionType::Put,am,{J.data(),J.size()}};
    if(getenv("CASE")){ if(atoi(getenv("CASE"))!=c) continue;
      for(auto&j:J) printf("jump tau=%.6f D=%.4f (t_ex=%.6f)\n",j.tau,j.amount,t-j.tau);
      int sp[]={256,512,1024,2048,4096}; int tm[]={256,1024,4096};
      for(int a:sp){ for(int b:tm){ auto R=grid::solve(p,{a,b,3},false); printf("S%5d T%5d %.7f  ",a,b,R->value);} printf("\n");}
      continue; }
    auto A=grid::solve(p,{256,256,3},false), H=grid::solve(p,{768,768,3},false), F=grid::solve(p,{3072,3072,3},false);
    double L=(getenv("QUICK")||am)?0.0:mc(s,k,t,r,q,sig,call,J,N,c+7);
    double e=std::fabs(A->value-H->value); static double wa=0,wh=0; if(!getenv("QUICK")){wa=std::max(wa,std::fabs(A->value-F->value)); wh=std::max(wh,std::fabs(H->value-F->value)); fprintf(stderr,"%d acc-fine %.2e high-fine %.2e\n",c,wa,wh);}
    printf("%3d %s s=%.1f k=%.1f t=%.2f r=%.3f sig=%.3f nd=%zu D=%.1f | acc=%.6f high=%.6f fine=%.6f mc=%.6f | a-h=%.1e h-f=%.1e fine-mc=%.1e\n",c,call?"C":"P",s,k,t,r,sig,J.size(),J.empty()?0:J[0].amount,A->value,H->value,F->value,L,e,std::fabs(H->value-F->value),std::fabs(F->value-L));
    worst=std::max(worst,e);
  }
  printf("worst acc-high %.2e\n",worst);
}

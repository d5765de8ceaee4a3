version=2
# libquillon's log lines for liblognorm (rsyslog's mmnormalize).  A line
# gives the fields date, time, host, address, version, tag, module, code,
# file, line, function, level and message, and the tag "quillon"; the host
# group is missing when eth0 cannot be queried, the module and code groups
# for a module not registered.  Any other line (a start-up banner, the
# library's own fault lines) gives its text as "message" and the tag
# "quillon-plain".
type=@time:[%date:char-to{"extradata":"]"}%][%time:char-to{"extradata":"]"}%] 
type=@host:[%host:char-to{"extradata":"]"}%][%address:ipv4%] 
type=@version:[%version:char-to{"extradata":":"}%:%tag:char-sep{"extradata":"]"}%]
type=@module:[%module:char-to{"extradata":"]"}%] 
type=@code:<<%code:number%>> 
type=@location:[%file:char-to{"extradata":":"}%:%line:number%][%function:char-to{"extradata":":"}%:%level:char-to{"extradata":"]"}%] : %message:rest%

rule=quillon:%.:@time%%.:@host%%.:@version%%.:@module%%.:@code%%.:@location%
rule=quillon:%.:@time%%.:@host%%.:@version%%.:@module%%.:@location%
rule=quillon:%.:@time%%.:@host%%.:@version%%.:@location%
rule=quillon:%.:@time%%.:@version%%.:@module%%.:@code%%.:@location%
rule=quillon:%.:@time%%.:@version%%.:@module%%.:@location%
rule=quillon:%.:@time%%.:@version%%.:@location%
rule=quillon-plain:%message:rest%

-- The tables of the application's database that the updater reads and writes, as small as the
-- tests and the demo need them. Plain SQL that SQLite and PostgreSQL both take.
create table SYSPROPS (VERSIENUMMER integer, IUPDATE_SPP integer, DAUTOUPDATE_SPP date);
create table SYSTEMINFO (SREGIOCODE_INF varchar(10), SDEELNEMERNR_INF varchar(20));
create table LICENSE (LICENSE varchar(60));

-- The tables of the application's database that the updater reads and writes, as small as the
-- tests and the demo need them. Plain SQL that SQLite and PostgreSQL both take.
create table SYSPROPS (VERSIENUMMER integer, IUPDATE_SPP integer, DAUTOUPDATE_SPP date, LASTSYSKEY varchar(8));
create table SYSTEMINFO (SREGIOCODE_INF varchar(10), SDEELNEMERNR_INF varchar(20));
create table LICENSE (LICENSE varchar(60));
create table ARNMATERIAAL (SSYSKEY_MAT varchar(8) primary key, SCODE_MAT varchar(20), SISOFFICIAL_MAT char(1));
create index ARNMATERIAAL_CODE on ARNMATERIAAL (SCODE_MAT);
create table ARNPREMIE (SSYSKEY_PRM varchar(8) primary key, SSYSKEY_MAT varchar(8), SREGIO_PRM varchar(10),
    NNORM_PRM float, SEENHEID_PRM varchar(10), NDEMONTAGE_PRM float, NINZAMEL_PRM float, NTOTAAL_PRM float,
    DINGANG_PRM timestamp);
